#include "media/audiodecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace media {

namespace {

    constexpr int kIoBufferBytes = 64 * 1024;
    // How far short of its declared duration a stream may end and still be whole. Encoders pad:
    // MP3 and AAC add up to about 3000 samples of priming and end padding (0.07 s at 44.1 kHz),
    // Opus 80 ms of pre-skip, and containers round their duration up to a whole packet, page or
    // millisecond tick. A quarter of a second clears all of these and is still far less than any
    // truncation worth reporting loses.
    constexpr double kPaddingSec = 0.25;
    // Damage this close to where a short stream ends is taken for the cut itself.
    constexpr double kCutSec = 1.0;
    // A jump forward between one decoded frame's timestamp and the end of the one before larger
    // than this means data was lost: a stretch the Ogg demuxer skipped without a word while
    // resynchronising. The shortest packets are 2.5 ms (Opus).
    constexpr double kGapSec = 0.002;
    // The gap is filled with silence, so that the time line stays the stream's, up to this much:
    // a damaged timestamp must not turn into hours of silence.
    constexpr double kMaxGapFillSec = 10.0;
    // Ogg stores a time only per page; for Vorbis the demuxer estimates each packet's from the
    // block sizes, and that estimate runs ahead of the audio by up to a quarter of the longest
    // block (8192 samples) wherever a long block meets a short one, in every clean file. A jump
    // beyond twice that is lost audio.
    constexpr double kVorbisJitterSamples = 4096.0;
    // Made from an Ogg Vorbis stream, an MP4 or Matroska file keeps that jitter in its own
    // timestamps, at whatever rate and codec it now has: ffmpeg times the packets it encodes from
    // the estimates it decoded, so they jump ahead by up to a quarter of the longest Vorbis block
    // (46 ms at 44.1 kHz) and may never jump back, while the audio runs on without a break, as
    // ffmpeg plays it. Outside Ogg a jump is lost audio only beyond this. A packet the decoder
    // rejects is counted apart from the timestamps, and what a demuxer that loses its way drops
    // without a word (Matroska: the rest of a cluster) is typically seconds.
    constexpr double kCarriedJitterSec = 0.1;
    // An Ogg page is at most 27 + 255 + 255 * 255 bytes: the stream's last bytes kept to find
    // its last page hold two.
    constexpr std::size_t kOggTailBytes = 2 * 65307;
    constexpr std::size_t kOggHeaderBytes = 27;
    constexpr std::uint8_t kOggLastPage = 0x04;
    constexpr std::uint8_t kOggContinued = 0x01;
    constexpr std::size_t kOggChecksumAt = 22;
    // Errors in a row, with no packet or frame in between, after which a stream counts as over:
    // a demuxer that cannot move past a fault would otherwise be asked forever.
    constexpr int kMaxErrorsInARow = 1000;
    // The start of the stream kept for a look at its header: a WAV's chunks before its data.
    constexpr int kHeaderBytes = 4096;
    // What a WAV writer that cannot seek back leaves in the data chunk's length: sox writes
    // 0x7FFFF000, others 0 or 0xFFFFFFFF. None of them is a length.
    constexpr std::uint32_t kUnknownWavLengths[] = { 0u, 0x7FFFF000u, 0xFFFFFFFFu };

    // System and FFmpeg messages start with a capital ("No such file or directory"); ours are
    // lower-case phrases.
    std::string phrase(const char* text)
    {
        std::string s = text ? text : "";
        if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z')
            s[0] = static_cast<char>(s[0] - 'A' + 'a');
        return s;
    }

    std::string systemReason(int errnum)
    {
        return phrase(std::strerror(errnum));
    }

    std::string ffmpegReason(int code)
    {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(code, text, sizeof text);
        return phrase(text);
    }

    // FFmpeg's largest single allocation. A few bytes of damaged header can ask for gigabytes
    // (a WAV's format chunk claiming a 900 MB extension, found by the fuzzer), which FFmpeg would
    // zero and so really take; no audio stream needs more than a few megabytes in one piece
    // (a cover picture is the largest).
    constexpr std::size_t kMaxAllocBytes = 64u << 20;

    // FFmpeg logs to standard error by default, which belongs to the program: one line for an
    // error, and the live view's terminal. Everything it would say reaches us as return codes.
    // Both settings are process-wide, and this module is the program's only user of FFmpeg.
    void configureFfmpeg()
    {
        static std::once_flag once;
        std::call_once(once, [] {
            av_log_set_level(AV_LOG_QUIET);
            av_max_alloc(kMaxAllocBytes);
        });
    }

    std::atomic<bool (*)()> stopCheck { nullptr };

    // "1:05.3", or "1:02:05.3" past an hour.
    std::string clock(double sec)
    {
        const double tenths = std::floor(std::max(sec, 0.0) * 10.0 + 0.5);
        const long long whole = static_cast<long long>(tenths) / 10;
        const int tenth = static_cast<int>(static_cast<long long>(tenths) % 10);
        char text[48];
        if (whole >= 3600) {
            std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%d", whole / 3600, whole / 60 % 60,
                whole % 60, tenth);
        } else {
            std::snprintf(text, sizeof text, "%lld:%02lld.%d", whole / 60, whole % 60, tenth);
        }
        return text;
    }

    std::string counted(std::int64_t n, const char* one, const char* many)
    {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    }

    // Full scale of each encoding to +-1.0. Non-finite samples, and doubles beyond what a float
    // holds, become silence and are counted.
    inline double unit(std::uint8_t v, std::int64_t&)
    {
        return (v - 128) / 128.0;
    }
    inline double unit(std::int16_t v, std::int64_t&)
    {
        return v / 32768.0;
    }
    inline double unit(std::int32_t v, std::int64_t&)
    {
        return v / 2147483648.0;
    }
    inline double unit(std::int64_t v, std::int64_t&)
    {
        return static_cast<double>(v) / 9223372036854775808.0;
    }
    inline double unit(float v, std::int64_t& nonFinite)
    {
        if (std::isfinite(v))
            return v;
        ++nonFinite;
        return 0.0;
    }
    inline double unit(double v, std::int64_t& nonFinite)
    {
        if (std::isfinite(v) && std::fabs(v) <= FLT_MAX)
            return v;
        ++nonFinite;
        return 0.0;
    }

    // Averages n frames from frame `first` of f into out; planar or interleaved. When channels
    // is not null, the frames' own samples go there too, interleaved.
    template <typename T>
    void mix(
        const AVFrame& f, int first, int n, float* out, float* channels, std::int64_t& nonFinite)
    {
        const int count = f.ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(f.format));
        const T* packed = reinterpret_cast<const T*>(f.extended_data[0]);
        for (int i = 0; i < n; ++i) {
            const int at = first + i;
            double sum = 0.0;
            for (int c = 0; c < count; ++c) {
                const T v = planar ? reinterpret_cast<const T*>(f.extended_data[c])[at]
                                   : packed[static_cast<std::size_t>(at) * count + c];
                const double u = unit(v, nonFinite);
                sum += u;
                if (channels)
                    channels[static_cast<std::size_t>(i) * count + c] = static_cast<float>(u);
            }
            out[i] = static_cast<float>(sum / count);
        }
    }

    std::uint32_t littleEndian32(const std::uint8_t* p)
    {
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16
            | std::uint32_t(p[3]) << 24;
    }

    std::uint64_t littleEndian64(const std::uint8_t* p)
    {
        return std::uint64_t(littleEndian32(p)) | std::uint64_t(littleEndian32(p + 4)) << 32;
    }

    // What an Ogg page's header says.
    struct OggPage {
        std::int64_t pos = -1; // where it begins in the stream, -1 when unknown
        std::int64_t granule = -1; // the end of its last whole packet, -1 when none ends there
        std::uint32_t serial = 0;
        std::uint32_t sequence = 0;
        std::uint8_t flags = 0;
    };

    // The page header that begins at p, if one does within size bytes.
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

    // Whether the page at p lies whole within size bytes and its checksum holds, as the
    // demuxer requires of every page it reads.
    bool oggPageIntact(const std::uint8_t* p, std::size_t size)
    {
        if (size < kOggHeaderBytes)
            return false;
        const std::size_t segments = p[26];
        std::size_t length = kOggHeaderBytes + segments;
        if (length > size)
            return false;
        for (std::size_t k = 0; k < segments; ++k)
            length += p[kOggHeaderBytes + k];
        if (length > size)
            return false;
        // The checksum covers the page with its own field zeroed.
        const AVCRC* table = av_crc_get_table(AV_CRC_32_IEEE);
        const std::uint8_t zeros[4] = {};
        std::uint32_t sum = av_crc(table, 0, p, kOggChecksumAt);
        sum = av_crc(table, sum, zeros, sizeof zeros);
        sum = av_crc(
            table, sum, p + kOggChecksumAt + sizeof zeros, length - kOggChecksumAt - sizeof zeros);
        // The page stores the sum least significant byte first; this table's sum comes
        // byte-swapped.
        const std::uint8_t* stored = p + kOggChecksumAt;
        return sum
            == (std::uint32_t(stored[0]) << 24 | std::uint32_t(stored[1]) << 16
                | std::uint32_t(stored[2]) << 8 | std::uint32_t(stored[3]));
    }

    // The length a RIFF WAV's data chunk states, when the chunk begins within its first bytes;
    // -1 otherwise.
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

    bool knownFormat(int format)
    {
        switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(format))) {
        case AV_SAMPLE_FMT_U8:
        case AV_SAMPLE_FMT_S16:
        case AV_SAMPLE_FMT_S32:
        case AV_SAMPLE_FMT_S64:
        case AV_SAMPLE_FMT_FLT:
        case AV_SAMPLE_FMT_DBL:
            return true;
        default:
            return false;
        }
    }

    // Whether an Ogg stream's last bytes end with a whole page that marks the end of the stream.
    // Searched from the back, so that a page that starts in the bytes of the last one is passed
    // over; false when the last page is cut or is not the last.
    bool oggEndsWhole(const std::uint8_t* tail, std::size_t size)
    {
        for (std::size_t at = size >= 4 ? size - 4 : 0; size >= 4; --at) {
            if (std::memcmp(tail + at, "OggS", 4) == 0) {
                if (at + kOggHeaderBytes > size)
                    return false;
                const std::size_t segments = tail[at + 26];
                std::size_t length = kOggHeaderBytes + segments;
                if (at + length > size)
                    return false;
                for (std::size_t k = 0; k < segments; ++k)
                    length += tail[at + kOggHeaderBytes + k];
                if (at + length > size)
                    return false;
                if (at + length == size)
                    return (tail[at + 5] & kOggLastPage) != 0;
            }
            if (at == 0)
                break;
        }
        return true;
    }

} // namespace

bool DecodeDamage::truncated() const
{
    // A last page that came early leaves the stream short with its end whole.
    return ended
        && (endMissing
            || (!lastPageEarly && declaredSec > 0.0 && decodedSec < declaredSec - kPaddingSec));
}

bool DecodeDamage::any() const
{
    return skippedPackets > 0 || nonFiniteSamples > 0 || !readError.empty() || lastPageEarly
        || truncated();
}

std::string DecodeDamage::warning() const
{
    if (!any())
        return {};
    std::string what;
    auto add = [&what](const std::string& item) { what += (what.empty() ? "" : ", ") + item; };
    if (!readError.empty())
        add("read error (" + readError + ")");
    // A stream that stops short right after (or without) damage was cut off. Earlier damage
    // can explain the shortfall instead: in a raw MP3 the parser folds a damaged frame into its
    // neighbour, whose extra bytes the decoder drops without a complaint or a gap in the
    // timestamps. Then only the shortfall is certain.
    if (truncated()) {
        const bool cut = firstDamageSec < 0.0 || firstDamageSec >= decodedSec - kCutSec;
        add(cut ? "truncated" : "short by " + clock(declaredSec - decodedSec));
    }
    // The shortfall is what was lost, less the part of the last packet that its page trims off
    // the end (under one packet).
    if (lastPageEarly)
        add("audio lost before the last page, which came "
            + (declaredSec > decodedSec ? "about " + clock(declaredSec - decodedSec) + " " : "")
            + "early");
    if (skippedPackets > 0)
        add(counted(skippedPackets, "damaged packet", "damaged packets") + " skipped");
    if (nonFiniteSamples > 0)
        add(counted(nonFiniteSamples, "non-finite sample", "non-finite samples")
            + " replaced by silence");
    if (firstDamageSec >= 0.0)
        what += " from " + clock(firstDamageSec);
    std::string line = what + "; decoded " + clock(decodedSec);
    if (declaredSec > 0.0) {
        long percent = std::lround(100.0 * std::min(decodedSec / declaredSec, 1.0));
        // A stream that stopped short never reads as complete.
        if (percent == 100 && (truncated() || !readError.empty()))
            percent = 99;
        line += " of " + clock(declaredSec) + " (" + std::to_string(percent) + "%)";
    }
    return line;
}

struct AudioDecoder::State {
    // Where the bytes come from: a file descriptor, or a block of memory.
    int fd = -1;
    bool ownsFd = false;
    std::int64_t fdStart = 0; // the descriptor's offset at open, for standard input
    const std::uint8_t* memory = nullptr;
    std::size_t memoryPos = 0;
    bool seekable = false;
    std::int64_t size = -1; // bytes, -1 when unknown
    std::int64_t bytesRead = 0;
    int readErrno = 0; // the first read() that failed
    bool stopped = false; // a signal interrupted a read and the program is stopping
    std::uint8_t head[kHeaderBytes] = {}; // the stream's first bytes
    int headSize = 0;
    int headKept = 0; // of a pipe's first bytes, read ahead, those still for the demuxer
    int headReplayed = 0;
    // The header states no length, so the stream ends wherever its bytes do.
    bool lengthUnknown = false;

    AVIOContext* io = nullptr;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    AVRational timeBase { 0, 1 };
    // A jump in the frames' timestamps beyond this many samples is lost audio.
    double gapSamples = 0.0;
    // For an Ogg stream read front to back: its last bytes, to see whether its end is there.
    bool ogg = false;
    std::vector<std::uint8_t> tail;
    OggPage page; // the page the last packet began on
    // Where lost pages just before the last one left a gap that the timestamps do not show: the
    // silence owed before the last page's first frame, and how many samples that page holds
    // from there (-1: as many as it decodes to).
    std::int64_t lostBeforeLast = 0;
    std::int64_t lastPageLeft = -1;
    int rate = 0;
    int channels = 0;
    double declaredSec = -1.0;
    std::string title;

    int frameNext = 0; // the next unread sample of frame
    int frameLength = 0; // the samples of frame to hand out
    std::int64_t silence = 0; // samples of silence owed before frame, for a gap
    std::int64_t sentSamples = 0; // the length of the packet last sent to the decoder
    bool havePacket = false; // packet holds the first one, read by open()
    double shortSec = -1.0; // where the last packet, marked corrupt, began; -1 when it was whole
    bool flushing = false; // the demuxer is done; the decoder gives what it holds
    bool over = false;
    int errorsInARow = 0;
    bool damageSinceFrame = false;
    // Where the next frame should start, in samples, NaN until a frame had a timestamp. A double:
    // a damaged timestamp may be anywhere in 64 bits, and differences of those would overflow.
    double nextPts = std::nan("");
    std::int64_t delivered = 0;
    DecodeDamage damage;

    ~State()
    {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
        if (ownsFd && fd >= 0)
            ::close(fd);
    }

    static int readBytes(void* opaque, std::uint8_t* buffer, int size)
    {
        State& s = *static_cast<State*>(opaque);
        if (s.memory) {
            const std::size_t n = std::min(
                static_cast<std::size_t>(size), static_cast<std::size_t>(s.size) - s.memoryPos);
            if (n == 0)
                return AVERROR_EOF;
            std::memcpy(buffer, s.memory + s.memoryPos, n);
            s.keepTail(buffer, n);
            s.memoryPos += n;
            s.bytesRead += static_cast<std::int64_t>(n);
            return static_cast<int>(n);
        }
        if (s.headReplayed < s.headKept) {
            const int n = std::min(size, s.headKept - s.headReplayed);
            std::memcpy(buffer, s.head + s.headReplayed, static_cast<std::size_t>(n));
            s.keepTail(buffer, static_cast<std::size_t>(n));
            s.headReplayed += n;
            s.bytesRead += n;
            return n;
        }
        if (s.stopped)
            return AVERROR_EXIT;
        const ssize_t n = s.readFd(buffer, size);
        if (n > 0) {
            s.bytesRead += n;
            s.keepTail(buffer, static_cast<std::size_t>(n));
            return static_cast<int>(n);
        }
        if (n == 0)
            return AVERROR_EOF;
        return s.stopped ? AVERROR_EXIT : AVERROR(s.readErrno);
    }

    void keepTail(const std::uint8_t* bytes, std::size_t n)
    {
        if (!ogg || seekable)
            return;
        if (n >= kOggTailBytes) {
            tail.assign(bytes + n - kOggTailBytes, bytes + n);
            return;
        }
        const std::size_t keep = std::min(tail.size(), kOggTailBytes - n);
        tail.erase(tail.begin(), tail.end() - static_cast<std::ptrdiff_t>(keep));
        tail.insert(tail.end(), bytes, bytes + n);
    }

    // Copies n bytes of the stream from offset from: from a file or memory, or from what was
    // kept of a stream read front to back. False when they are not there.
    bool streamBytes(std::int64_t from, std::size_t n, std::uint8_t* out) const
    {
        const auto count = static_cast<std::int64_t>(n);
        if (from < 0)
            return false;
        if (memory) {
            if (from + count > size)
                return false;
            std::memcpy(out, memory + from, n);
            return true;
        }
        if (seekable)
            return ::pread(fd, out, n, static_cast<off_t>(fdStart + from))
                == static_cast<ssize_t>(n);
        const std::int64_t kept = bytesRead - static_cast<std::int64_t>(tail.size());
        if (from < kept || from + count > bytesRead)
            return false;
        std::memcpy(out, tail.data() + (from - kept), n);
        return true;
    }

    // The demuxer times the packets of a stream's last page from the page before, and a page
    // lost just before the last one shows only in the last packet's duration, after the audio
    // it should have delayed. The lost page's header, where the damage spared it, states where
    // the last page begins; without it the last page's audio comes early, and is reported so.
    void enterPage(std::int64_t pos)
    {
        const OggPage before = page;
        page = OggPage {};
        page.pos = pos;
        std::uint8_t header[kOggHeaderBytes];
        if (!streamBytes(pos, sizeof header, header) || !oggPageAt(header, sizeof header, &page))
            return;
        if (before.pos < 0 || before.pos >= pos || !(page.flags & kOggLastPage)
            || page.serial != before.serial || page.sequence <= before.sequence + 1)
            return;
        std::vector<std::uint8_t> between(static_cast<std::size_t>(pos - before.pos));
        if (!streamBytes(before.pos, between.size(), between.data()))
            return;
        // The granule of the last page the demuxer read, which its timestamps go on from, and
        // the header of the page before the last one.
        std::int64_t readUpTo = before.granule;
        OggPage lost;
        for (std::size_t at = 0; at < between.size(); ++at) {
            OggPage p;
            const std::uint8_t* bytes = between.data() + at;
            const std::size_t left = between.size() - at;
            if (!oggPageAt(bytes, left, &p) || p.serial != page.serial)
                continue;
            const bool intact = oggPageIntact(bytes, left);
            if (p.sequence + 1 == page.sequence) {
                // Read whole, its granule already timed the last page.
                if (intact)
                    return;
                lost = p;
            } else if (intact && p.granule >= 0) {
                readUpTo = p.granule;
            }
        }
        if (lost.granule >= 0 && !(page.flags & kOggContinued) && readUpTo >= 0
            && lost.granule > readUpTo && lost.granule <= page.granule
            && lost.granule - readUpTo <= static_cast<std::int64_t>(kMaxGapFillSec * rate)) {
            lostBeforeLast = lost.granule - readUpTo;
            lastPageLeft = page.granule - lost.granule;
            return;
        }
        damage.lastPageEarly = true;
        markDamage();
    }

    // Whether an Ogg stream that came to its end has all of it; read from the back of a file,
    // and from what was kept of a stream.
    bool oggWhole()
    {
        if (!seekable)
            return oggEndsWhole(tail.data(), tail.size());
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::int64_t>(size, static_cast<std::int64_t>(kOggTailBytes)));
        std::vector<std::uint8_t> last(n);
        if (memory)
            std::memcpy(last.data(), memory + size - static_cast<std::int64_t>(n), n);
        else if (::pread(fd, last.data(), n, static_cast<off_t>(fdStart + size) - off_t(n))
            != static_cast<ssize_t>(n))
            return true;
        return oggEndsWhole(last.data(), n);
    }

    // One read() of the descriptor: the bytes, 0 at the end, or -1 with stopped or readErrno set.
    ssize_t readFd(std::uint8_t* buffer, int size)
    {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, static_cast<std::size_t>(size));
            if (n >= 0)
                return n;
            if (errno == EINTR) {
                bool (*stop)() = stopCheck.load();
                if (stop && stop()) {
                    stopped = true;
                    return -1;
                }
                continue;
            }
            if (readErrno == 0)
                readErrno = errno;
            return -1;
        }
    }

    // The stream's first bytes, for a look at its header before the demuxer's. A pipe can be
    // read only once: what is read ahead of it is kept and handed to the demuxer first.
    void readHeadAhead()
    {
        if (memory) {
            headSize = static_cast<int>(std::min<std::int64_t>(size, kHeaderBytes));
            std::memcpy(head, memory, static_cast<std::size_t>(headSize));
            return;
        }
        if (seekable) {
            const ssize_t n = ::pread(fd, head, kHeaderBytes, static_cast<off_t>(fdStart));
            headSize = n > 0 ? static_cast<int>(n) : 0;
            return;
        }
        while (headSize < kHeaderBytes) {
            const ssize_t n = readFd(head + headSize, kHeaderBytes - headSize);
            if (n <= 0)
                break;
            headSize += static_cast<int>(n);
        }
        headKept = headSize;
    }

    static std::int64_t seekBytes(void* opaque, std::int64_t offset, int whence)
    {
        State& s = *static_cast<State*>(opaque);
        if (whence & AVSEEK_SIZE)
            return s.size;
        whence &= ~AVSEEK_FORCE;
        std::int64_t current = static_cast<std::int64_t>(s.memoryPos);
        if (!s.memory) {
            const off_t at = ::lseek(s.fd, 0, SEEK_CUR);
            if (at < 0)
                return AVERROR(errno);
            current = at - s.fdStart;
        }
        // Offsets come from the stream's own headers and may be anything: every target stays
        // within the bytes there are, computed without overflow.
        std::int64_t base = 0;
        if (whence == SEEK_CUR)
            base = current;
        else if (whence == SEEK_END)
            base = s.size;
        else if (whence != SEEK_SET)
            return AVERROR(EINVAL);
        if (offset < -base || offset > s.size - base)
            return AVERROR(EINVAL);
        const std::int64_t target = base + offset;
        if (s.memory) {
            s.memoryPos = static_cast<std::size_t>(target);
            return target;
        }
        const off_t at = ::lseek(s.fd, static_cast<off_t>(s.fdStart + target), SEEK_SET);
        return at < 0 ? AVERROR(errno) : at - s.fdStart;
    }

    void noteDamage() { noteDamage(static_cast<double>(delivered) / rate); }

    void noteDamage(double atSec)
    {
        ++damage.skippedPackets;
        if (damage.firstDamageSec < 0.0)
            damage.firstDamageSec = atSec;
        damageSinceFrame = true;
    }

    void markDamage()
    {
        if (damage.firstDamageSec < 0.0)
            damage.firstDamageSec = static_cast<double>(delivered) / rate;
    }

    // After open: the stream, its decoder and what it declares.
    std::string start()
    {
        configureFfmpeg();
        readHeadAhead();
        ogg = headSize >= 4 && std::memcmp(head, "OggS", 4) == 0;
        // FFmpeg takes any length a WAV's data chunk states but 0 and 0xFFFFFFFF for where the
        // audio ends, sox's placeholder too, and would stop there; such a stream ends where its
        // bytes do.
        const std::int64_t wavLength = wavDataLength(head, headSize);
        lengthUnknown = wavLength >= 0
            && std::find(std::begin(kUnknownWavLengths), std::end(kUnknownWavLengths),
                   std::uint32_t(wavLength))
                != std::end(kUnknownWavLengths);
        auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferBytes));
        if (!buffer)
            return systemReason(ENOMEM);
        io = avio_alloc_context(
            buffer, kIoBufferBytes, 0, this, &readBytes, nullptr, seekable ? &seekBytes : nullptr);
        if (!io) {
            av_free(buffer);
            return systemReason(ENOMEM);
        }
        format = avformat_alloc_context();
        if (!format)
            return systemReason(ENOMEM);
        format->pb = io;
        format->flags |= AVFMT_FLAG_CUSTOM_IO;
        AVDictionary* options = nullptr;
        if (lengthUnknown)
            av_dict_set(&options, "ignore_length", "1", 0);
        int rc = avformat_open_input(&format, nullptr, nullptr, &options);
        av_dict_free(&options);
        if (rc < 0)
            return openFailure(rc);
        rc = avformat_find_stream_info(format, nullptr);
        if (rc < 0 && readErrno != 0)
            return systemReason(readErrno);
        stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (stream < 0) {
            if (bytesRead == 0)
                return "file is empty";
            return movingPictures() ? "has no audio stream" : "not an audio file";
        }
        // Only the audio is read; a video's pictures are skipped by the demuxer.
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (static_cast<int>(i) != stream)
                format->streams[i]->discard = AVDISCARD_ALL;
        }
        AVStream* st = format->streams[stream];
        const AVCodecParameters* par = st->codecpar;
        const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
        if (!decoder)
            return std::string("no decoder for ") + avcodec_get_name(par->codec_id) + " audio";
        rate = par->sample_rate;
        if (rate <= 0)
            return "not an audio file";
        if (rate < kMinRateHz || rate > kMaxRateHz) {
            return "sample rate " + std::to_string(rate) + " Hz is outside "
                + std::to_string(kMinRateHz) + ".." + std::to_string(kMaxRateHz) + " Hz";
        }
        codec = avcodec_alloc_context3(decoder);
        if (!codec)
            return systemReason(ENOMEM);
        rc = avcodec_parameters_to_context(codec, par);
        if (rc >= 0) {
            codec->pkt_timebase = st->time_base;
            rc = avcodec_open2(codec, decoder, nullptr);
        }
        if (rc < 0)
            return "cannot decode " + std::string(avcodec_get_name(par->codec_id)) + ": "
                + ffmpegReason(rc);
        // At least one, so that what read() hands out per sample is never nothing.
        channels = std::max(par->ch_layout.nb_channels, 1);
        timeBase = st->time_base;
        gapSamples = par->codec_id == AV_CODEC_ID_VORBIS ? kVorbisJitterSamples : kGapSec * rate;
        ogg = ogg && std::strcmp(format->iformat->name, "ogg") == 0;
        if (!ogg) {
            gapSamples = std::max(gapSamples, kCarriedJitterSec * rate);
            std::vector<std::uint8_t>().swap(tail);
        }
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (!packet || !frame)
            return systemReason(ENOMEM);
        // A stream that gives no audio at all is refused now, not as a run of nothing.
        rc = readPacket();
        if (rc < 0)
            return noAudio(rc);
        havePacket = true;

        // A duration guessed from the bit rate (a raw MP3 or AAC stream without a header that
        // counts its frames) is no promise, and a stream cut short is no more than that guess;
        // for PCM, whose bit rate is constant, it is exact.
        if (format->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE
            || av_get_exact_bits_per_sample(par->codec_id) > 0) {
            if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
                declaredSec = static_cast<double>(st->duration) * av_q2d(st->time_base);
            else if (format->duration != AV_NOPTS_VALUE && format->duration > 0)
                declaredSec = static_cast<double>(format->duration) / AV_TIME_BASE;
            if (!std::isfinite(declaredSec))
                declaredSec = -1.0;
        }
        // FFmpeg reads a WAV's length from its size on disk or its fact chunk's sample count,
        // which a stream does not have and a placeholder does not fill in; the data chunk states
        // it, or says it cannot.
        if (std::strcmp(format->iformat->name, "wav") != 0)
            lengthUnknown = false;
        else if (lengthUnknown)
            declaredSec = -1.0;
        else if (wavLength >= 0 && av_get_exact_bits_per_sample(par->codec_id) > 0
            && par->block_align > 0)
            // Less than one frame declares nothing to hold the stream to.
            declaredSec = wavLength >= par->block_align
                ? static_cast<double>(wavLength / par->block_align) / rate
                : -1.0;
        damage.declaredSec = declaredSec;
        const AVDictionaryEntry* tag = av_dict_get(format->metadata, "title", nullptr, 0);
        if (!tag)
            tag = av_dict_get(st->metadata, "title", nullptr, 0);
        if (tag && tag->value)
            title = tag->value;
        return {};
    }

    // Whether the stream holds a video: pictures that run for a stated time. A picture alone (a
    // PNG or JPEG) states none.
    bool movingPictures() const
    {
        if (format->duration == AV_NOPTS_VALUE || format->duration <= 0)
            return false;
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
                return true;
        }
        return false;
    }

    std::string openFailure(int rc) const
    {
        if (stopped)
            return "stopped";
        if (readErrno != 0)
            return systemReason(readErrno);
        if (bytesRead == 0)
            return "file is empty";
        if (rc == AVERROR_INVALIDDATA)
            return "not an audio file";
        if (rc == AVERROR_EOF)
            return "file ends before its audio begins";
        return ffmpegReason(rc);
    }

    std::string noAudio(int rc) const
    {
        if (stopped)
            return "stopped";
        if (readErrno != 0)
            return systemReason(readErrno);
        if (rc == AVERROR_EOF)
            return "file ends before its audio begins";
        // MP4 and its kin may keep their index after the audio; a stream cannot go back for it.
        if (!seekable && std::strncmp(format->iformat->name, "mov,", 4) == 0)
            return "this MP4 keeps its index after the audio, so it cannot be read from a stream";
        return "no audio could be read: " + ffmpegReason(rc);
    }

    // Checks a decoded frame; a frame that cannot be taken as it is counts as damage.
    bool accept()
    {
        if ((frame->sample_rate != 0 && frame->sample_rate != rate)
            || frame->ch_layout.nb_channels < 1 || !knownFormat(frame->format)) {
            noteDamage();
            return false;
        }
        const std::int64_t pts = frame->best_effort_timestamp;
        const double at = static_cast<double>(pts) * av_q2d(timeBase) * rate;
        if (pts != AV_NOPTS_VALUE && std::isfinite(at)) {
            const double gap = at - nextPts; // NaN, and so no gap, for the first frame
            if (gap > gapSamples) {
                // The decoder's own complaint, when it made one, already counted this loss.
                if (!damageSinceFrame)
                    noteDamage();
                silence = std::llround(std::min(gap, kMaxGapFillSec * rate));
            }
            nextPts = at + frame->nb_samples;
        } else {
            nextPts += frame->nb_samples;
        }
        frameLength = frame->nb_samples;
        if (lostBeforeLast > 0) {
            if (!damageSinceFrame)
                noteDamage();
            silence += lostBeforeLast;
            lostBeforeLast = 0;
        }
        // The last page's end, which its granule states, trims its last packet.
        if (lastPageLeft >= 0) {
            frameLength = static_cast<int>(std::min<std::int64_t>(frameLength, lastPageLeft));
            lastPageLeft -= frameLength;
        }
        damageSinceFrame = false;
        errorsInARow = 0;
        frameNext = 0;
        return true;
    }

    // The decoder rejected the last packet: its length in silence keeps the time line, where the
    // timestamps that follow would not show the loss (a raw MP3's are counted, not stored).
    void lose()
    {
        silence += sentSamples;
        nextPts += static_cast<double>(sentSamples);
        sentSamples = 0;
    }

    // One more error in a row; true while it is worth going on.
    bool tolerate()
    {
        noteDamage();
        return ++errorsInARow < kMaxErrorsInARow;
    }

    void finish()
    {
        over = true;
        if (readErrno != 0 && damage.readError.empty()) {
            damage.readError = systemReason(readErrno);
            markDamage();
        }
        // A stream stopped on request did not come to its end, and is not short.
        damage.ended = !stopped;
        if (damage.ended && ogg && readErrno == 0 && !oggWhole()) {
            damage.endMissing = true;
            markDamage();
        }
    }

    // Reads the next packet of the audio stream into packet. Returns 0, or the error that ends
    // the stream: the end of the bytes, a failed read, or a demuxer that cannot get past a fault.
    int readPacket()
    {
        for (;;) {
            const int rc = av_read_frame(format, packet);
            if (rc < 0) {
                // A demuxer may fail on a damaged stretch and find its feet further on.
                const bool more = rc != AVERROR_EOF && readErrno == 0 && !stopped && !avio_feof(io);
                if (more && tolerate())
                    continue;
                // A short last packet is how a stream of unknown length ends. In a file, whose
                // demuxer knows where the audio ends, it means the file is shorter than its
                // header says.
                if (shortSec >= 0.0 && seekable && !lengthUnknown)
                    noteDamage(shortSec);
                shortSec = -1.0;
                return rc;
            }
            if (packet->stream_index != stream) {
                av_packet_unref(packet);
                continue;
            }
            if (ogg && packet->pos >= 0 && packet->pos != page.pos)
                enterPage(packet->pos);
            if (shortSec >= 0.0)
                noteDamage(shortSec);
            shortSec = -1.0;
            // A packet is progress: the decoder's failures count from here.
            errorsInARow = 0;
            // The demuxer marks a packet corrupt when it got fewer bytes than it asked for (or
            // found it damaged); the decoder still keeps what it can of it. Whether that is
            // damage depends on what follows. When a read error cut it short, that error is
            // the damage to report.
            if ((packet->flags & AV_PKT_FLAG_CORRUPT) && readErrno == 0)
                shortSec = static_cast<double>(delivered) / rate;
            return 0;
        }
    }

    // Makes frame hold unread samples; false at the end of the stream.
    bool nextFrame()
    {
        while (!over) {
            const int got = avcodec_receive_frame(codec, frame);
            if (got == 0) {
                if (accept())
                    return true;
                continue;
            }
            if (got == AVERROR_EOF) {
                finish();
                break;
            }
            if (got != AVERROR(EAGAIN)) {
                lose();
                if (!tolerate())
                    finish();
                continue;
            }
            // A decoder that has been flushed and still wants input has nothing more to give.
            if (flushing) {
                finish();
                break;
            }
            if (!havePacket && readPacket() < 0) {
                flushing = true;
                avcodec_send_packet(codec, nullptr);
                continue;
            }
            havePacket = false;
            const double sec = static_cast<double>(packet->duration) * av_q2d(timeBase);
            sentSamples = packet->duration > 0 && std::isfinite(sec)
                ? static_cast<std::int64_t>(std::min(sec, kMaxGapFillSec) * rate)
                : 0;
            const int sent = avcodec_send_packet(codec, packet);
            av_packet_unref(packet);
            if (sent < 0) {
                lose();
                if (!tolerate())
                    finish();
            }
        }
        return false;
    }

    // Averages n samples of the current frame into out, and hands out its channels.
    void mixInto(float* out, float* own, int n)
    {
        const std::int64_t before = damage.nonFiniteSamples;
        std::int64_t& nonFinite = damage.nonFiniteSamples;
        const AVFrame& f = *frame;
        switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(f.format))) {
        case AV_SAMPLE_FMT_U8:
            mix<std::uint8_t>(f, frameNext, n, out, own, nonFinite);
            break;
        case AV_SAMPLE_FMT_S16:
            mix<std::int16_t>(f, frameNext, n, out, own, nonFinite);
            break;
        case AV_SAMPLE_FMT_S32:
            mix<std::int32_t>(f, frameNext, n, out, own, nonFinite);
            break;
        case AV_SAMPLE_FMT_S64:
            mix<std::int64_t>(f, frameNext, n, out, own, nonFinite);
            break;
        case AV_SAMPLE_FMT_FLT:
            mix<float>(f, frameNext, n, out, own, nonFinite);
            break;
        default:
            mix<double>(f, frameNext, n, out, own, nonFinite);
            break;
        }
        if (damage.nonFiniteSamples != before)
            markDamage();
        frameNext += n;
        delivered += n;
    }
};

AudioDecoder::AudioDecoder(std::unique_ptr<State> state)
    : s_(std::move(state))
{
}

AudioDecoder::~AudioDecoder() = default;

namespace {

    std::unique_ptr<AudioDecoder::State> started(
        std::unique_ptr<AudioDecoder::State> s, std::string* error)
    {
        const std::string why = s->start();
        if (why.empty())
            return s;
        if (error)
            *error = why;
        return nullptr;
    }

} // namespace

std::unique_ptr<AudioDecoder> AudioDecoder::open(const std::string& path, std::string* error)
{
    auto s = std::make_unique<State>();
    if (path == "-") {
        s->fd = STDIN_FILENO;
    } else {
        // Opening a FIFO waits for its writer; a stop signal ends that wait too.
        for (;;) {
            s->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (s->fd >= 0 || errno != EINTR)
                break;
            bool (*stop)() = stopCheck.load();
            if (stop && stop()) {
                if (error)
                    *error = "stopped";
                return nullptr;
            }
        }
        if (s->fd < 0) {
            if (error)
                *error = systemReason(errno);
            return nullptr;
        }
        s->ownsFd = true;
    }
    struct stat st { };
    if (::fstat(s->fd, &st) != 0) {
        if (error)
            *error = systemReason(errno);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        if (error)
            *error = systemReason(EISDIR);
        return nullptr;
    }
    // A regular file of known size can be sought in, which containers with their index at the
    // end (MP4) need; a file that reports no size (/proc and the like), a pipe, a FIFO or a
    // terminal is read front to back.
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        const off_t at = ::lseek(s->fd, 0, SEEK_CUR);
        if (at >= 0 && at <= st.st_size) {
            s->seekable = true;
            s->fdStart = at;
            s->size = st.st_size - at;
        }
    }
    s = started(std::move(s), error);
    return s ? std::unique_ptr<AudioDecoder>(new AudioDecoder(std::move(s))) : nullptr;
}

std::unique_ptr<AudioDecoder> AudioDecoder::openBuffer(
    const std::uint8_t* data, std::size_t size, std::string* error, bool seekable)
{
    auto s = std::make_unique<State>();
    // A null pointer would read as the descriptor source; an empty block is never dereferenced.
    static const std::uint8_t kNothing = 0;
    s->memory = data ? data : &kNothing;
    s->size = data ? static_cast<std::int64_t>(size) : 0;
    s->seekable = seekable;
    s = started(std::move(s), error);
    return s ? std::unique_ptr<AudioDecoder>(new AudioDecoder(std::move(s))) : nullptr;
}

void AudioDecoder::setStopCheck(bool (*stop)())
{
    stopCheck.store(stop);
}

int AudioDecoder::sampleRate() const
{
    return s_->rate;
}

int AudioDecoder::channels() const
{
    return s_->channels;
}

double AudioDecoder::declaredSec() const
{
    return s_->declaredSec;
}

std::string AudioDecoder::title() const
{
    return s_->title;
}

const DecodeDamage& AudioDecoder::damage() const
{
    return s_->damage;
}

int AudioDecoder::read(float* out, int count)
{
    return read(out, count, nullptr);
}

int AudioDecoder::read(float* out, int count, float* channels)
{
    State& s = *s_;
    // A decoded frame with another channel count than the stream's (damage) leaves its own
    // channels out: what is handed out always has channels() per sample.
    auto own = [&](int at) {
        return channels && s.frame->ch_layout.nb_channels == s.channels
            ? channels + static_cast<std::size_t>(at) * s.channels
            : nullptr;
    };
    int got = 0;
    while (got < count) {
        if (s.silence > 0) {
            const int n = static_cast<int>(std::min<std::int64_t>(s.silence, count - got));
            std::fill(out + got, out + got + n, 0.0f);
            if (channels)
                std::fill(channels + static_cast<std::size_t>(got) * s.channels,
                    channels + static_cast<std::size_t>(got + n) * s.channels, 0.0f);
            s.silence -= n;
            s.delivered += n;
            got += n;
            continue;
        }
        const int left = s.frameLength - s.frameNext;
        if (left <= 0) {
            // A packet lost at the very end still owes its silence.
            if ((s.over || !s.nextFrame()) && s.silence == 0)
                break;
            continue;
        }
        const int n = std::min(left, count - got);
        float* into = own(got);
        s.mixInto(out + got, into, n);
        // The mix of a frame whose channels differ stands in for each of the stream's.
        if (channels && !into)
            for (int i = 0; i < n; ++i)
                std::fill_n(channels + static_cast<std::size_t>(got + i) * s.channels, s.channels,
                    out[got + i]);
        got += n;
    }
    s.damage.decodedSec = static_cast<double>(s.delivered) / s.rate;
    return got;
}

} // namespace media
