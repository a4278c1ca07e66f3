// The off-line run: the programme analysed from its start, hop by hop as it is read, and the
// pictures between --from and --to rendered headless into numbered PNGs or a video. No more of the
// audio is kept than one hop: a video's sound is handed to the encoder as it is read. The pictures
// of a folder and the video are one set of outputs (shell/output.h): written beside their names,
// synced, and named together only when the run is complete; a failed or stopped run removes
// exactly what it wrote. A folder that already holds pictures named as frames (NNNNNN.png) is
// refused before anything is rendered, so that no run mixes its pictures with another's or
// replaces a file it did not write.
#ifndef VISUALISER_OFFLINE_H
#define VISUALISER_OFFLINE_H

#include "media/feed.h"
#include "options.h"

#include <string>

namespace visualiser {

enum class OfflineResult { Done, Failed, Stopped };

// Where the output goes, checked before anything is rendered; empty when it is usable, else the
// problem in one line.
std::string checkOutput(const Options& o);

// Needs a QGuiApplication on the platform that visual::prepareHeadless() chose. Ends at once on a
// stop signal (shell/signals.h). Done, *pictures holds how many were written; on failure *why
// holds one line, and nothing is left behind, as after a stop.
OfflineResult renderOffline(
    const Options& o, media::Feed& feed, long long* pictures, std::string* why);

} // namespace visualiser

#endif
