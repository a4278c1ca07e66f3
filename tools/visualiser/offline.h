// The off-line run: the programme analysed from its start, hop by hop, and the pictures between
// --from and --to rendered headless into numbered PNGs or a video.
#ifndef VISUALISER_OFFLINE_H
#define VISUALISER_OFFLINE_H

#include "options.h"
#include "programme.h"

#include <QString>

namespace visualiser {

enum class OfflineResult { Done, Failed, Stopped };

// Where the output goes, checked before anything is rendered; empty when it is usable.
QString checkOutput(const Options& o);

// Needs a QGuiApplication on the platform that visual::prepareHeadless() chose. On failure *why
// holds one line and nothing is left behind.
OfflineResult renderOffline(const Options& o, const Programme& programme, QString* why);

} // namespace visualiser

#endif
