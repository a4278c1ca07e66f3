// What went wrong in a decode that still produced audio, and the one line that tells it.
#ifndef MEDIA_DECODEDAMAGE_H
#define MEDIA_DECODEDAMAGE_H

#include <cstdint>
#include <string>

namespace media {

// What went wrong in a decode that still produced audio. A clean run has none of it; an
// encoder's padding (MP3/AAC priming and end padding) is not damage.
struct DecodeDamage {
    std::int64_t skippedPackets = 0; // packets the demuxer/decoder rejected; decoding resynced
    std::int64_t nonFiniteSamples = 0; // NaN/inf samples, replaced by 0 before analysis
    double firstDamageSec = -1.0; // audio time of the first damage, -1 when none
    double declaredSec = -1.0; // the container's duration, -1 when unknown
    double decodedSec = 0.0; // audio delivered so far
    // Why the stream failed after it opened ("input/output error"); empty otherwise.
    std::string readError;
    // The stream came to its end (not stopped by setStopCheck's test): read() gives what it still
    // holds, then 0.
    bool ended = false;
    // The stream's last bytes are not its end: an Ogg stream whose last page is cut, or lacks
    // the mark of the last page.
    bool endMissing = false;
    // Ogg pages just before the last one were lost with their headers, so nothing says where the
    // last page begins: its audio follows what came before it, early by what was lost, and the
    // stream reads short by as much without being cut.
    bool lastPageEarly = false;
    // ended clearly before declaredSec (beyond padding), or without its end
    bool truncated() const;
    bool any() const; // anything above
    // One line: what was wrong, where, how much of the duration was decoded. Empty when clean.
    std::string warning() const;
};

} // namespace media

#endif
