#include "videowriter.h"

#include "shell/output.h"

#include <QFileInfo>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <vector>

namespace visualiser {

namespace {

    constexpr int kIoBufferBytes = 1 << 16;
    constexpr int kAacBitRate = 160000;
    constexpr int kOpusBitRate = 128000;
    constexpr const char* kH264Crf = "20";
    constexpr const char* kVp9Crf = "32";

    QString averror(int code)
    {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(code, text, sizeof(text));
        return QString::fromLocal8Bit(text);
    }

    // The file's own error() says why a write or seek failed, with the system's reason.
    int writePacket(void* opaque, uint8_t* data, int size)
    {
        auto* file = static_cast<shell::OutputFile*>(opaque);
        return file->write(reinterpret_cast<const char*>(data), std::size_t(size)) ? size
                                                                                   : AVERROR(EIO);
    }

    int64_t seekFile(void* opaque, int64_t offset, int whence)
    {
        auto* file = static_cast<shell::OutputFile*>(opaque);
        const std::int64_t at
            = whence & AVSEEK_SIZE ? file->size() : file->seek(offset, whence & ~AVSEEK_FORCE);
        return at >= 0 ? at : AVERROR(EIO);
    }

} // namespace

bool isVideoPath(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("mp4") || suffix == QLatin1String("mkv")
        || suffix == QLatin1String("webm");
}

struct VideoWriter::State {
    shell::OutputFile& file;
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    SwsContext* scale = nullptr;
    AVFrame* picture = nullptr;
    AVFrame* sound = nullptr;
    AVPacket* packet = nullptr;
    QSize size;
    int fps = 60;
    std::int64_t pictures = 0;
    // The programme's audio, converted to the audio encoder's rate and sample format (mono).
    std::vector<uint8_t> encoded;
    std::int64_t encodedSamples = 0;
    std::int64_t audioDone = 0;
    int audioBytesPerSample = 4;
    bool headerWritten = false;

    explicit State(shell::OutputFile& out)
        : file(out)
    {
    }
    ~State()
    {
        sws_freeContext(scale);
        av_frame_free(&picture);
        av_frame_free(&sound);
        av_packet_free(&packet);
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        if (format) {
            format->pb = nullptr;
            avformat_free_context(format);
        }
        if (io) {
            av_freep(&io->buffer);
            avio_context_free(&io);
        }
    }
};

VideoWriter::VideoWriter(std::unique_ptr<State> state)
    : s_(std::move(state))
{
}

VideoWriter::~VideoWriter() = default;

std::unique_ptr<VideoWriter> VideoWriter::open(shell::OutputFile& file, const QString& path,
    QSize size, int fps, const float* samples, std::int64_t sampleCount, int rateHz, QString* why)
{
    if (size.width() % 2 || size.height() % 2) {
        *why = QStringLiteral("a video needs even sides, not %1x%2")
                   .arg(size.width())
                   .arg(size.height());
        return nullptr;
    }
    // Errors come back through the return codes; the encoders' chatter stays off the terminal.
    av_log_set_level(AV_LOG_QUIET);
    auto s = std::make_unique<State>(file);
    const bool webm = QFileInfo(path).suffix().toLower() == QLatin1String("webm");
    auto fail = [&](const QString& what) {
        *why = QStringLiteral("%1: %2").arg(path, what);
        return nullptr;
    };
    const QByteArray formatName = webm                               ? "webm"
        : QFileInfo(path).suffix().toLower() == QLatin1String("mkv") ? "matroska"
                                                                     : "mp4";
    if (avformat_alloc_output_context2(&s->format, nullptr, formatName.constData(), nullptr) < 0)
        return fail(QStringLiteral("FFmpeg has no %1 muxer").arg(QLatin1String(formatName)));
    s->format->flags |= AVFMT_FLAG_BITEXACT;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    s->io = avio_alloc_context(buffer, kIoBufferBytes, 1, &s->file, nullptr, writePacket, seekFile);
    if (!s->io) {
        av_free(buffer);
        return fail(QStringLiteral("out of memory"));
    }
    s->format->pb = s->io;

    // Video.
    const AVCodec* videoCodec = avcodec_find_encoder_by_name(webm ? "libvpx-vp9" : "libx264");
    if (!videoCodec)
        return fail(QStringLiteral("FFmpeg has no %1 encoder")
                        .arg(QLatin1String(webm ? "libvpx-vp9" : "libx264")));
    s->video = avcodec_alloc_context3(videoCodec);
    s->video->width = size.width();
    s->video->height = size.height();
    s->video->pix_fmt = AV_PIX_FMT_YUV420P;
    s->video->time_base = AVRational { 1, fps };
    s->video->framerate = AVRational { fps, 1 };
    s->video->gop_size = fps * 2;
    s->video->thread_count = 1;
    s->video->flags |= AV_CODEC_FLAG_BITEXACT;
    s->video->color_range = AVCOL_RANGE_MPEG;
    s->video->colorspace = AVCOL_SPC_BT709;
    s->video->color_primaries = AVCOL_PRI_BT709;
    s->video->color_trc = AVCOL_TRC_BT709;
    if (s->format->oformat->flags & AVFMT_GLOBALHEADER)
        s->video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* videoOptions = nullptr;
    if (webm) {
        av_dict_set(&videoOptions, "crf", kVp9Crf, 0);
        av_dict_set(&videoOptions, "b", "0", 0);
        av_dict_set(&videoOptions, "deadline", "realtime", 0);
        av_dict_set(&videoOptions, "cpu-used", "8", 0);
        av_dict_set(&videoOptions, "row-mt", "0", 0);
    } else {
        av_dict_set(&videoOptions, "preset", "veryfast", 0);
        av_dict_set(&videoOptions, "crf", kH264Crf, 0);
    }
    int rc = avcodec_open2(s->video, videoCodec, &videoOptions);
    av_dict_free(&videoOptions);
    if (rc < 0)
        return fail(QStringLiteral("cannot open the video encoder: %1").arg(averror(rc)));
    s->videoStream = avformat_new_stream(s->format, nullptr);
    avcodec_parameters_from_context(s->videoStream->codecpar, s->video);
    s->videoStream->time_base = s->video->time_base;

    // Audio.
    const AVCodec* audioCodec = avcodec_find_encoder_by_name(webm ? "libopus" : "aac");
    if (!audioCodec)
        return fail(QStringLiteral("FFmpeg has no %1 encoder")
                        .arg(QLatin1String(webm ? "libopus" : "aac")));
    s->audio = avcodec_alloc_context3(audioCodec);
    // Opus runs at 48 kHz only; AAC keeps the programme's rate where it can.
    int outRate = rateHz;
    if (webm || audioCodec->supported_samplerates) {
        const int* rates = audioCodec->supported_samplerates;
        bool supported = !webm && !rates;
        for (const int* r = rates; r && *r; ++r)
            supported = supported || *r == rateHz;
        if (!supported)
            outRate = 48000;
    }
    s->audio->sample_rate = outRate;
    s->audio->sample_fmt
        = audioCodec->sample_fmts ? audioCodec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&s->audio->ch_layout, 1);
    s->audio->bit_rate = webm ? kOpusBitRate : kAacBitRate;
    s->audio->time_base = AVRational { 1, outRate };
    s->audio->thread_count = 1;
    s->audio->flags |= AV_CODEC_FLAG_BITEXACT;
    if (s->format->oformat->flags & AVFMT_GLOBALHEADER)
        s->audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    rc = avcodec_open2(s->audio, audioCodec, nullptr);
    if (rc < 0)
        return fail(QStringLiteral("cannot open the audio encoder: %1").arg(averror(rc)));
    s->audioStream = avformat_new_stream(s->format, nullptr);
    avcodec_parameters_from_context(s->audioStream->codecpar, s->audio);
    s->audioStream->time_base = s->audio->time_base;

    // The whole audio segment, converted once up front.
    SwrContext* resample = nullptr;
    AVChannelLayout mono;
    av_channel_layout_default(&mono, 1);
    rc = swr_alloc_set_opts2(&resample, &mono, s->audio->sample_fmt, outRate, &mono,
        AV_SAMPLE_FMT_FLT, rateHz, 0, nullptr);
    if (rc < 0 || swr_init(resample) < 0) {
        swr_free(&resample);
        return fail(QStringLiteral("cannot convert the audio for the encoder"));
    }
    s->audioBytesPerSample = av_get_bytes_per_sample(s->audio->sample_fmt);
    const std::int64_t room
        = swr_get_out_samples(resample, int(std::min<std::int64_t>(sampleCount, INT32_MAX / 8)))
        + 256;
    s->encoded.resize(size_t(room + sampleCount * outRate / std::max(rateHz, 1) + 256)
        * size_t(s->audioBytesPerSample));
    uint8_t* out = s->encoded.data();
    const auto* in = reinterpret_cast<const uint8_t*>(samples);
    const int capacity = int(s->encoded.size() / size_t(s->audioBytesPerSample));
    int got
        = swr_convert(resample, &out, capacity, sampleCount > 0 ? &in : nullptr, int(sampleCount));
    if (got >= 0) {
        s->encodedSamples = got;
        uint8_t* tail = s->encoded.data() + size_t(got) * size_t(s->audioBytesPerSample);
        const int more = swr_convert(resample, &tail, capacity - got, nullptr, 0);
        if (more > 0)
            s->encodedSamples += more;
    }
    swr_free(&resample);
    if (got < 0)
        return fail(QStringLiteral("cannot convert the audio for the encoder"));

    AVDictionary* muxOptions = nullptr;
    av_dict_set(&muxOptions, "fflags", "+bitexact", 0);
    rc = avformat_write_header(s->format, &muxOptions);
    av_dict_free(&muxOptions);
    if (rc < 0)
        return fail(QStringLiteral("cannot write the header: %1").arg(averror(rc)));
    s->headerWritten = true;

    s->picture = av_frame_alloc();
    s->picture->format = AV_PIX_FMT_YUV420P;
    s->picture->width = size.width();
    s->picture->height = size.height();
    s->sound = av_frame_alloc();
    s->packet = av_packet_alloc();
    if (av_frame_get_buffer(s->picture, 0) < 0)
        return fail(QStringLiteral("out of memory"));
    // Limited-range BT.709, as the stream says; bit-exact rounding.
    s->scale = sws_getContext(size.width(), size.height(), AV_PIX_FMT_RGBA, size.width(),
        size.height(), AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr,
        nullptr, nullptr);
    if (!s->scale)
        return fail(QStringLiteral("cannot convert pictures for the encoder"));
    sws_setColorspaceDetails(s->scale, sws_getCoefficients(SWS_CS_DEFAULT), 1,
        sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    s->size = size;
    s->fps = fps;
    return std::unique_ptr<VideoWriter>(new VideoWriter(std::move(s)));
}

namespace {

    // Sends one frame (null to flush) and writes every packet that comes out.
    int encode(AVFormatContext* format, AVCodecContext* codec, AVStream* stream, AVPacket* packet,
        AVFrame* frame)
    {
        int rc = avcodec_send_frame(codec, frame);
        if (rc < 0)
            return rc;
        for (;;) {
            rc = avcodec_receive_packet(codec, packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return 0;
            if (rc < 0)
                return rc;
            // Each picture lasts one tick of the video's time base; without it the last picture
            // would have no length and the stream would end a picture short.
            if (codec->codec_type == AVMEDIA_TYPE_VIDEO && packet->duration == 0)
                packet->duration = 1;
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            rc = av_interleaved_write_frame(format, packet);
            if (rc < 0)
                return rc;
        }
    }

} // namespace

bool VideoWriter::encodeAudioUntil(std::int64_t sampleEnd, bool flush, QString* why)
{
    State& s = *s_;
    sampleEnd = std::min(sampleEnd, s.encodedSamples);
    const int frameSize = s.audio->frame_size > 0 ? s.audio->frame_size : 1024;
    while (s.audioDone < sampleEnd && (s.audioDone + frameSize <= sampleEnd || flush)) {
        const int n = int(std::min<std::int64_t>(frameSize, sampleEnd - s.audioDone));
        av_frame_unref(s.sound);
        s.sound->format = s.audio->sample_fmt;
        s.sound->sample_rate = s.audio->sample_rate;
        av_channel_layout_default(&s.sound->ch_layout, 1);
        // The encoder wants whole frames except for the last one.
        s.sound->nb_samples
            = (s.audio->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) ? n : frameSize;
        if (av_frame_get_buffer(s.sound, 0) < 0) {
            *why = QStringLiteral("out of memory");
            return false;
        }
        std::fill(s.sound->data[0],
            s.sound->data[0] + size_t(s.sound->nb_samples) * size_t(s.audioBytesPerSample),
            uint8_t(0));
        std::copy_n(s.encoded.data() + size_t(s.audioDone) * size_t(s.audioBytesPerSample),
            size_t(n) * size_t(s.audioBytesPerSample), s.sound->data[0]);
        if (n < frameSize && !(s.audio->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE)
            && (s.audio->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME))
            s.sound->nb_samples = n;
        s.sound->pts = s.audioDone;
        const int rc = encode(s.format, s.audio, s.audioStream, s.packet, s.sound);
        if (rc < 0) {
            *why = QStringLiteral("cannot encode the audio: %1").arg(averror(rc));
            return false;
        }
        s.audioDone += n;
    }
    return true;
}

bool VideoWriter::addPicture(const unsigned char* rgba, QString* why)
{
    State& s = *s_;
    if (av_frame_make_writable(s.picture) < 0) {
        *why = QStringLiteral("out of memory");
        return false;
    }
    const uint8_t* planes[1] = { rgba };
    const int strides[1] = { s.size.width() * 4 };
    sws_scale(s.scale, planes, strides, 0, s.size.height(), s.picture->data, s.picture->linesize);
    s.picture->pts = s.pictures++;
    const int rc = encode(s.format, s.video, s.videoStream, s.packet, s.picture);
    if (rc < 0) {
        *why = QStringLiteral("cannot encode the video: %1").arg(averror(rc));
        return false;
    }
    // Keep the audio level with the pictures, so that the muxer interleaves as it goes.
    return encodeAudioUntil(s.pictures * s.audio->sample_rate / s.fps, false, why);
}

bool VideoWriter::finish(QString* why)
{
    State& s = *s_;
    if (!encodeAudioUntil(s.pictures * s.audio->sample_rate / s.fps, true, why))
        return false;
    int rc = encode(s.format, s.video, s.videoStream, s.packet, nullptr);
    if (rc >= 0)
        rc = encode(s.format, s.audio, s.audioStream, s.packet, nullptr);
    if (rc >= 0)
        rc = av_write_trailer(s.format);
    if (rc < 0) {
        *why = QStringLiteral("cannot finish the video: %1").arg(averror(rc));
        return false;
    }
    avio_flush(s.io);
    if (s.io->error < 0) {
        *why = QStringLiteral("cannot finish the video: %1").arg(averror(s.io->error));
        return false;
    }
    return true;
}

} // namespace visualiser
