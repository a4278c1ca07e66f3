// The parts of libavformat's API that changed between FFmpeg 5.1 (libavformat 59) and 7.1
// (libavformat 61): each version's current form behind one name, so that nothing deprecated is
// called on either.
#ifndef MEDIA_AVFORMATAPI_H
#define MEDIA_AVFORMATAPI_H

extern "C" {
#include <libavformat/avformat.h>
}

namespace media::ffmpeg {

// The bytes an AVIO write callback receives: const from libavformat 61 on.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WriteBytes = const uint8_t*;
#else
using WriteBytes = uint8_t*;
#endif

} // namespace media::ffmpeg

#endif
