// Numbers stored least significant byte first, as RIFF and Ogg store them.
#ifndef MEDIA_LITTLEENDIAN_H
#define MEDIA_LITTLEENDIAN_H

#include <cstdint>

namespace media {

inline std::uint32_t littleEndian32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
        | std::uint32_t(p[3]) << 24;
}

inline std::uint64_t littleEndian64(const std::uint8_t* p)
{
    return std::uint64_t(littleEndian32(p)) | std::uint64_t(littleEndian32(p + 4)) << 32;
}

} // namespace media

#endif
