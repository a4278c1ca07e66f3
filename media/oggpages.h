// Ogg pages read straight from the stream's bytes, beside FFmpeg's demuxer: what a page's header
// says, whether a page is whole, whether a stream's last bytes end it, and what the pages before
// the last one say about where its audio belongs. Only the standard library.
#ifndef MEDIA_OGGPAGES_H
#define MEDIA_OGGPAGES_H

#include <cstddef>
#include <cstdint>

namespace media {

// An Ogg page is at most 27 + 255 + 255 * 255 bytes: the stream's last bytes kept to find its
// last page hold two.
constexpr std::size_t kOggTailBytes = 2 * 65307;
constexpr std::size_t kOggHeaderBytes = 27;
constexpr std::uint8_t kOggLastPage = 0x04;
constexpr std::uint8_t kOggContinued = 0x01;

// What an Ogg page's header says.
struct OggPage {
    std::int64_t pos = -1; // where it begins in the stream, -1 when unknown
    std::int64_t granule = -1; // the end of its last whole packet, -1 when none ends there
    std::uint32_t serial = 0;
    std::uint32_t sequence = 0;
    std::uint8_t flags = 0;
};

// The checksum Ogg gives a page: CRC-32 over the polynomial 0x04C11DB7, most significant bit
// first, starting from 0, with nothing added at the end; `from` carries a sum over earlier bytes.
std::uint32_t oggChecksum(const std::uint8_t* p, std::size_t size, std::uint32_t from = 0);

// The page header that begins at p, if one does within size bytes (its pos is left as it was).
bool oggPageAt(const std::uint8_t* p, std::size_t size, OggPage* page);

// Whether the page at p lies whole within size bytes and its checksum holds, as the demuxer
// requires of every page it reads.
bool oggPageIntact(const std::uint8_t* p, std::size_t size);

// Whether an Ogg stream's last bytes end with a whole page that marks the end of the stream.
// Searched from the back, so that a page that starts in the bytes of the last one is passed
// over; false when the last page is cut or is not the last.
bool oggEndsWhole(const std::uint8_t* tail, std::size_t size);

// Whether pages of the stream went missing between before, the page the demuxer last read a
// packet from, and last, when last is the stream's final page.
bool oggLostBeforeLast(const OggPage& before, const OggPage& last);

// Where the audio of the stream's last page belongs when pages before it were lost. The demuxer
// times that page's packets from the page before, so a lost page shows only after the audio it
// should have delayed; the lost page's header, where the damage spared it, states where the last
// page begins.
struct OggLastPageTiming {
    enum class Kind {
        Timed, // the page before the last was read whole: its granule already timed the last
        Delayed, // the audio owes silence first, and the page holds fewer samples than it decodes
        Early, // nothing says where the last page begins: its audio comes early
    } kind
        = Kind::Timed;
    std::int64_t silence = 0; // Delayed: the samples owed before the last page's first frame
    std::int64_t samples = -1; // Delayed: the samples the last page holds from there
};

// between: the stream's bytes from before's start to last's; maxSilence bounds what a damaged
// granule may owe.
OggLastPageTiming oggTimeLastPage(const std::uint8_t* between, std::size_t size,
    const OggPage& before, const OggPage& last, std::int64_t maxSilence);

} // namespace media

#endif
