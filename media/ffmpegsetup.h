// FFmpeg's process-wide settings, made once for decoding and encoding alike, and the text of its
// error codes.
#ifndef MEDIA_FFMPEGSETUP_H
#define MEDIA_FFMPEGSETUP_H

#include <string>

namespace media {

// Silences FFmpeg's log and caps its largest single allocation at 64 MiB; only the first call
// does anything. Every user of FFmpeg's libraries calls it before its first FFmpeg call.
void setUpFfmpeg();

// FFmpeg's own words for an error code ("Invalid data found when processing input").
std::string ffmpegErrorText(int code);

} // namespace media

#endif
