#include "media/audiodecoder.h"

#include "media/bytesource.h"
#include "media/ffmpegsetup.h"
#include "media/oggpages.h"
#include "media/openerror.h"
#include "media/samplemix.h"
#include "media/wavlength.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace media {

namespace {

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
    // Errors in a row, with no packet or frame in between, after which a stream counts as over:
    // a demuxer that cannot move past a fault would otherwise be asked forever.
    constexpr int kMaxErrorsInARow = 1000;

} // namespace

// The packet loop: FFmpeg's demuxer and decoder over a byte source, with the gaps and damage
// they leave accounted for, and the samples mixed down as read() asks for them.
struct AudioDecoder::State {
    std::unique_ptr<ByteSource> source;
    // The header states no length, so the stream ends wherever its bytes do.
    bool lengthUnknown = false;

    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    int stream = -1;
    AVRational timeBase { 0, 1 };
    // A jump in the frames' timestamps beyond this many samples is lost audio.
    double gapSamples = 0.0;
    // An Ogg stream, whose pages are looked at beside the demuxer.
    bool ogg = false;
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

    // The source, and with it FFmpeg's reader, goes after the demuxer that reads from it.
    ~State()
    {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }

    // The demuxer times the packets of a stream's last page from the page before, and a page
    // lost just before the last one shows only in the last packet's duration, after the audio
    // it should have delayed; see oggTimeLastPage.
    void enterPage(std::int64_t pos)
    {
        const OggPage before = page;
        page = OggPage {};
        page.pos = pos;
        std::uint8_t header[kOggHeaderBytes];
        if (!source->bytesAt(pos, sizeof header, header) || !oggPageAt(header, sizeof header, &page)
            || !oggLostBeforeLast(before, page))
            return;
        std::vector<std::uint8_t> between(static_cast<std::size_t>(pos - before.pos));
        if (!source->bytesAt(before.pos, between.size(), between.data()))
            return;
        const OggLastPageTiming timing = oggTimeLastPage(between.data(), between.size(), before,
            page, static_cast<std::int64_t>(kMaxGapFillSec * rate));
        if (timing.kind == OggLastPageTiming::Kind::Delayed) {
            lostBeforeLast = timing.silence;
            lastPageLeft = timing.samples;
        } else if (timing.kind == OggLastPageTiming::Kind::Early) {
            damage.lastPageEarly = true;
            markDamage();
        }
    }

    // Whether an Ogg stream that came to its end has all of it; read from the back of a file,
    // and from what was kept of a stream.
    bool oggWhole() const
    {
        if (!source->seekable())
            return oggEndsWhole(source->tail().data(), source->tail().size());
        std::vector<std::uint8_t> last;
        if (!source->lastBytes(kOggTailBytes, &last))
            return true;
        return oggEndsWhole(last.data(), last.size());
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
        setUpFfmpeg();
        source->readHeadAhead();
        ogg = source->headSize() >= 4 && std::memcmp(source->head(), "OggS", 4) == 0;
        source->setKeepsTail(ogg);
        // FFmpeg takes any length a WAV's data chunk states but 0 and 0xFFFFFFFF for where the
        // audio ends, sox's placeholder too, and would stop there; such a stream ends where its
        // bytes do.
        const std::int64_t wavLength = wavDataLength(source->head(), source->headSize());
        lengthUnknown = wavLengthUnknown(wavLength);
        std::string why = openInput();
        if (why.empty())
            why = findAudio();
        if (why.empty())
            why = openDecoder();
        if (why.empty())
            why = readFirstPacket();
        if (!why.empty())
            return why;
        declare(wavLength);
        return {};
    }

    // The demuxer over the source, with what it finds out about the streams.
    std::string openInput()
    {
        AVIOContext* io = source->makeIo();
        if (!io)
            return systemReason(ENOMEM);
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
            return openFailure(*source, rc);
        rc = avformat_find_stream_info(format, nullptr);
        if (rc < 0 && source->readErrno() != 0)
            return systemReason(source->readErrno());
        return {};
    }

    // The audio stream, with a rate the analysis takes.
    std::string findAudio()
    {
        stream = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (stream < 0) {
            if (source->bytesRead() == 0)
                return "file is empty";
            return movingPictures() ? "has no audio stream" : "not an audio file";
        }
        // Only the audio is read; a video's pictures are skipped by the demuxer.
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            if (static_cast<int>(i) != stream)
                format->streams[i]->discard = AVDISCARD_ALL;
        }
        const AVCodecParameters* par = format->streams[stream]->codecpar;
        if (!avcodec_find_decoder(par->codec_id))
            return std::string("no decoder for ") + avcodec_get_name(par->codec_id) + " audio";
        rate = par->sample_rate;
        if (rate <= 0)
            return "not an audio file";
        if (rate < kMinRateHz || rate > kMaxRateHz)
            return rateOutsideRange(rate, kMinRateHz, kMaxRateHz);
        return {};
    }

    std::string openDecoder()
    {
        AVStream* st = format->streams[stream];
        const AVCodecParameters* par = st->codecpar;
        const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
        codec = avcodec_alloc_context3(decoder);
        if (!codec)
            return systemReason(ENOMEM);
        int rc = avcodec_parameters_to_context(codec, par);
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
            source->setKeepsTail(false);
        }
        return {};
    }

    // A stream that gives no audio at all is refused now, not as a run of nothing.
    std::string readFirstPacket()
    {
        packet = av_packet_alloc();
        frame = av_frame_alloc();
        if (!packet || !frame)
            return systemReason(ENOMEM);
        const int rc = readPacket();
        if (rc < 0)
            return noAudio(*source, rc, format->iformat->name);
        havePacket = true;
        return {};
    }

    // What the stream declares: its duration and title.
    void declare(std::int64_t wavLength)
    {
        const AVStream* st = format->streams[stream];
        const AVCodecParameters* par = st->codecpar;
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

    // Checks a decoded frame; a frame that cannot be taken as it is counts as damage.
    bool accept()
    {
        if ((frame->sample_rate != 0 && frame->sample_rate != rate)
            || frame->ch_layout.nb_channels < 1 || !knownSampleFormat(frame->format)) {
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
        if (source->readErrno() != 0 && damage.readError.empty()) {
            damage.readError = systemReason(source->readErrno());
            markDamage();
        }
        // A stream stopped on request did not come to its end, and is not short.
        damage.ended = !source->stopped();
        if (damage.ended && ogg && source->readErrno() == 0 && !oggWhole()) {
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
                const bool more = rc != AVERROR_EOF && source->readErrno() == 0
                    && !source->stopped() && !avio_feof(source->io());
                if (more && tolerate())
                    continue;
                // A short last packet is how a stream of unknown length ends. In a file, whose
                // demuxer knows where the audio ends, it means the file is shorter than its
                // header says.
                if (shortSec >= 0.0 && source->seekable() && !lengthUnknown)
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
            if ((packet->flags & AV_PKT_FLAG_CORRUPT) && source->readErrno() == 0)
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
        mixFrame(*frame, frameNext, n, out, own, damage.nonFiniteSamples);
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
        std::unique_ptr<ByteSource> source, std::string* error)
    {
        auto s = std::make_unique<AudioDecoder::State>();
        s->source = std::move(source);
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
    std::string why;
    std::unique_ptr<ByteSource> source = ByteSource::openPath(path, &why);
    if (!source) {
        if (error)
            *error = why;
        return nullptr;
    }
    return opened(started(std::move(source), error));
}

std::unique_ptr<AudioDecoder> AudioDecoder::openBuffer(
    const std::uint8_t* data, std::size_t size, std::string* error, bool seekable)
{
    return opened(started(ByteSource::openMemory(data, size, seekable), error));
}

std::unique_ptr<AudioDecoder> AudioDecoder::opened(std::unique_ptr<State> state)
{
    return state ? std::unique_ptr<AudioDecoder>(new AudioDecoder(std::move(state))) : nullptr;
}

void AudioDecoder::setStopCheck(bool (*stop)())
{
    ByteSource::setStopCheck(stop);
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
