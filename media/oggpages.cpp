#include "media/oggpages.h"

#include "media/littleendian.h"

#include <array>
#include <cstring>

namespace media {

namespace {

    constexpr std::size_t kOggChecksumAt = 22;
    constexpr std::uint32_t kOggPolynomial = 0x04C11DB7u;

    std::array<std::uint32_t, 256> checksumTable()
    {
        std::array<std::uint32_t, 256> table {};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t r = i << 24;
            for (int bit = 0; bit < 8; ++bit)
                r = (r & 0x80000000u) ? (r << 1) ^ kOggPolynomial : r << 1;
            table[i] = r;
        }
        return table;
    }

    // The page's length when its header and segment table lie within size bytes; 0 otherwise.
    std::size_t pageLength(const std::uint8_t* p, std::size_t size)
    {
        if (size < kOggHeaderBytes)
            return 0;
        const std::size_t segments = p[26];
        std::size_t length = kOggHeaderBytes + segments;
        if (length > size)
            return 0;
        for (std::size_t k = 0; k < segments; ++k)
            length += p[kOggHeaderBytes + k];
        return length;
    }

} // namespace

std::uint32_t oggChecksum(const std::uint8_t* p, std::size_t size, std::uint32_t from)
{
    static const std::array<std::uint32_t, 256> table = checksumTable();
    std::uint32_t sum = from;
    for (std::size_t i = 0; i < size; ++i)
        sum = (sum << 8) ^ table[((sum >> 24) ^ p[i]) & 0xFFu];
    return sum;
}

bool oggPageAt(const std::uint8_t* p, std::size_t size, OggPage* page)
{
    if (size < kOggHeaderBytes || std::memcmp(p, "OggS", 4) != 0 || p[4] != 0)
        return false;
    page->flags = p[5];
    page->granule = static_cast<std::int64_t>(littleEndian64(p + 6));
    page->serial = littleEndian32(p + 14);
    page->sequence = littleEndian32(p + 18);
    return true;
}

bool oggPageIntact(const std::uint8_t* p, std::size_t size)
{
    const std::size_t length = pageLength(p, size);
    if (length == 0 || length > size)
        return false;
    // The checksum covers the page with its own field zeroed; the page stores it least
    // significant byte first.
    const std::uint8_t zeros[4] = {};
    std::uint32_t sum = oggChecksum(p, kOggChecksumAt);
    sum = oggChecksum(zeros, sizeof zeros, sum);
    sum = oggChecksum(
        p + kOggChecksumAt + sizeof zeros, length - kOggChecksumAt - sizeof zeros, sum);
    return sum == littleEndian32(p + kOggChecksumAt);
}

bool oggEndsWhole(const std::uint8_t* tail, std::size_t size)
{
    for (std::size_t at = size >= 4 ? size - 4 : 0; size >= 4; --at) {
        if (std::memcmp(tail + at, "OggS", 4) == 0) {
            const std::size_t length = pageLength(tail + at, size - at);
            if (length == 0 || at + length > size)
                return false;
            if (at + length == size)
                return (tail[at + 5] & kOggLastPage) != 0;
        }
        if (at == 0)
            break;
    }
    return true;
}

bool oggLostBeforeLast(const OggPage& before, const OggPage& last)
{
    return before.pos >= 0 && before.pos < last.pos && (last.flags & kOggLastPage)
        && last.serial == before.serial && last.sequence > before.sequence + 1;
}

OggLastPageTiming oggTimeLastPage(const std::uint8_t* between, std::size_t size,
    const OggPage& before, const OggPage& last, std::int64_t maxSilence)
{
    // The granule of the last page the demuxer read, which its timestamps go on from, and the
    // header of the page before the last one.
    std::int64_t readUpTo = before.granule;
    OggPage lost;
    for (std::size_t at = 0; at < size; ++at) {
        OggPage p;
        const std::uint8_t* bytes = between + at;
        const std::size_t left = size - at;
        if (!oggPageAt(bytes, left, &p) || p.serial != last.serial)
            continue;
        const bool intact = oggPageIntact(bytes, left);
        if (p.sequence + 1 == last.sequence) {
            if (intact)
                return {};
            lost = p;
        } else if (intact && p.granule >= 0) {
            readUpTo = p.granule;
        }
    }
    OggLastPageTiming timing;
    if (lost.granule >= 0 && !(last.flags & kOggContinued) && readUpTo >= 0
        && lost.granule > readUpTo && lost.granule <= last.granule
        && lost.granule - readUpTo <= maxSilence) {
        timing.kind = OggLastPageTiming::Kind::Delayed;
        timing.silence = lost.granule - readUpTo;
        timing.samples = last.granule - lost.granule;
        return timing;
    }
    timing.kind = OggLastPageTiming::Kind::Early;
    return timing;
}

} // namespace media
