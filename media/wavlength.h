// The length a RIFF WAV's data chunk declares, read from the stream's first bytes, and whether it
// is a length at all. Only the standard library.
#ifndef MEDIA_WAVLENGTH_H
#define MEDIA_WAVLENGTH_H

#include <cstdint>

namespace media {

// The length a RIFF WAV's data chunk states, when the chunk begins within the size bytes of head;
// -1 otherwise.
std::int64_t wavDataLength(const std::uint8_t* head, int size);

// Whether a stated data length is a placeholder that a writer that cannot seek back leaves (sox
// writes 0x7FFFF000, others 0 or 0xFFFFFFFF), so that the stream ends where its bytes do.
bool wavLengthUnknown(std::int64_t length);

} // namespace media

#endif
