// The text boxes over the visual (the track's title, the tempo): one look for both, sized to the
// visual, so that they read on a small window and do not shout on a large one.
#ifndef VISUALISER_OVERLAYTEXT_H
#define VISUALISER_OVERLAYTEXT_H

#include <QColor>
#include <QFont>

namespace visualiser {

// The box's padding against the text's height.
constexpr double kOverlayPaddingShareOfText = 0.6;
const QColor kOverlayBox(0, 0, 0, 200);
const QColor kOverlayText(235, 235, 235);

// Bold, its height a share of the visual's within bounds in pixels.
QFont overlayFont(int visualHeight);

} // namespace visualiser

#endif
