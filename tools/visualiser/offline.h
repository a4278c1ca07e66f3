// The off-line run: the programme analysed from its start, hop by hop as it is read, and the
// pictures between --from and --to rendered headless into numbered PNGs or a video. No more of the
// audio is kept than one hop: a video's sound is handed to the encoder as it is read.
#ifndef VISUALISER_OFFLINE_H
#define VISUALISER_OFFLINE_H

#include "media/feed.h"
#include "options.h"

#include <QString>

namespace visualiser {

enum class OfflineResult { Done, Failed, Stopped };

// Where the output goes, checked before anything is rendered; empty when it is usable.
QString checkOutput(const Options& o);

// Needs a QGuiApplication on the platform that visual::prepareHeadless() chose. On failure *why
// holds one line and nothing is left behind.
OfflineResult renderOffline(const Options& o, media::Feed& feed, QString* why);

} // namespace visualiser

#endif
