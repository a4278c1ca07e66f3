// The wording of why a stream could not be opened: one lower-case phrase without the file name,
// as the programs print it after the name.
#ifndef MEDIA_OPENERROR_H
#define MEDIA_OPENERROR_H

#include <string>

namespace media {

class ByteSource;

// The system's reason for errno value errnum ("no such file or directory").
std::string systemReason(int errnum);
// FFmpeg's reason for its error code, in the same lower case.
std::string ffmpegReason(int code);
// Why the demuxer could not open the stream, which failed with rc.
std::string openFailure(const ByteSource& source, int rc);
// Why a stream that opened gave no audio packet: reading its first failed with rc. container is
// the demuxer's name.
std::string noAudio(const ByteSource& source, int rc, const char* container);
// A sample rate the analysis does not take.
std::string rateOutsideRange(int rateHz, int lowestHz, int highestHz);

} // namespace media

#endif
