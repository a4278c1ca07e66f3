#include "media/wavlength.h"

#include "media/littleendian.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace media {

namespace {

    constexpr std::uint32_t kUnknownWavLengths[] = { 0u, 0x7FFFF000u, 0xFFFFFFFFu };

} // namespace

std::int64_t wavDataLength(const std::uint8_t* head, int size)
{
    if (size < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
        return -1;
    for (std::int64_t at = 12; at + 8 <= size;) {
        const std::uint32_t length = littleEndian32(head + at + 4);
        if (std::memcmp(head + at, "data", 4) == 0)
            return length;
        at += 8 + std::int64_t(length) + (length & 1);
    }
    return -1;
}

bool wavLengthUnknown(std::int64_t length)
{
    return length >= 0
        && std::find(
               std::begin(kUnknownWavLengths), std::end(kUnknownWavLengths), std::uint32_t(length))
        != std::end(kUnknownWavLengths);
}

} // namespace media
