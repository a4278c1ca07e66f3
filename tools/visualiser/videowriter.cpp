#include "videowriter.h"

#include "ffmpegapi.h"
#include "shell/output.h"

#include <QFileInfo>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace visualiser {

namespace {

    constexpr int kIoBufferBytes = 1 << 16;
    constexpr int kAacBitRate = 256000;
    constexpr int kOpusBitRate = 192000;
    constexpr int kMostChannels = 2;
    // Work waiting for the encoder's thread: a couple of pictures with their audio, enough to
    // ride out one picture that encodes slowly.
    constexpr std::size_t kQueuedJobs = 8;
    constexpr const char* kH264Crf = "20";
    constexpr const char* kVp9Crf = "32";

    QString averror(int code)
    {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(code, text, sizeof(text));
        return QString::fromLocal8Bit(text);
    }

    // The file's own error() says why a write or seek failed, with the system's reason.
    int writePacket(void* opaque, ffmpeg::WriteBytes data, int size)
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
    // The audio added, converted to the encoder's rate, format and channels, waiting for its
    // frames; what the conversion makes of one addAudio() call goes through converted.
    SwrContext* resample = nullptr;
    AVAudioFifo* fifo = nullptr;
    std::vector<uint8_t*> planes;
    std::vector<std::vector<uint8_t>> converted;
    int inChannels = 1;
    std::int64_t convertedSamples = 0;
    std::int64_t audioDone = 0;
    bool headerWritten = false;
    // The encoder's thread and the work handed to it, in order.
    std::thread worker;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Job> queue;
    std::vector<std::vector<unsigned char>> spare;
    bool stop = false;
    QString failure;

    explicit State(shell::OutputFile& out)
        : file(out)
    {
    }
    ~State()
    {
        sws_freeContext(scale);
        swr_free(&resample);
        if (fifo)
            av_audio_fifo_free(fifo);
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

VideoWriter::~VideoWriter()
{
    // A writer given up on stops encoding at once; what it wrote is discarded with its file.
    {
        const std::lock_guard<std::mutex> lock(s_->lock);
        s_->stop = true;
        s_->changed.notify_all();
    }
    if (s_->worker.joinable())
        s_->worker.join();
}

std::unique_ptr<VideoWriter> VideoWriter::open(shell::OutputFile& file, const QString& path,
    QSize size, int fps, int channels, int rateHz, QString* why)
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
    const int* rates = ffmpeg::supportedSampleRates(audioCodec);
    if (webm || rates) {
        bool supported = !webm && !rates;
        for (const int* r = rates; r && *r; ++r)
            supported = supported || *r == rateHz;
        if (!supported)
            outRate = 48000;
    }
    s->audio->sample_rate = outRate;
    s->audio->sample_fmt = ffmpeg::preferredSampleFormat(audioCodec, AV_SAMPLE_FMT_FLTP);
    av_channel_layout_default(&s->audio->ch_layout, std::min(channels, kMostChannels));
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

    // The audio as it comes, converted on the way in: rate, sample format, and a mix-down of
    // more channels than two.
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, channels);
    rc = swr_alloc_set_opts2(&s->resample, &s->audio->ch_layout, s->audio->sample_fmt, outRate,
        &inLayout, AV_SAMPLE_FMT_FLT, rateHz, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (rc < 0 || swr_init(s->resample) < 0)
        return fail(QStringLiteral("cannot convert the audio for the encoder"));
    s->fifo = av_audio_fifo_alloc(s->audio->sample_fmt, s->audio->ch_layout.nb_channels, 1);
    if (!s->fifo)
        return fail(QStringLiteral("out of memory"));
    s->inChannels = channels;
    const int planeCount
        = av_sample_fmt_is_planar(s->audio->sample_fmt) ? s->audio->ch_layout.nb_channels : 1;
    s->converted.resize(size_t(planeCount));
    s->planes.resize(size_t(planeCount));

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
    std::unique_ptr<VideoWriter> writer(new VideoWriter(std::move(s)));
    writer->s_->worker = std::thread([w = writer.get()] { w->encodeJobs(); });
    return writer;
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

bool VideoWriter::convertAudio(const float* interleaved, int samples, QString* why)
{
    State& s = *s_;
    // Null input drains what the converter holds back (the resampler's delay).
    const int room = swr_get_out_samples(s.resample, samples);
    if (room < 0) {
        *why = QStringLiteral("cannot convert the audio for the encoder");
        return false;
    }
    const int bytes = room * av_get_bytes_per_sample(s.audio->sample_fmt)
        * (s.planes.size() == 1 ? s.audio->ch_layout.nb_channels : 1);
    for (size_t p = 0; p < s.planes.size(); ++p) {
        if (s.converted[p].size() < size_t(bytes))
            s.converted[p].resize(size_t(bytes));
        s.planes[p] = s.converted[p].data();
    }
    const auto* in = reinterpret_cast<const uint8_t*>(interleaved);
    const int got = swr_convert(
        s.resample, s.planes.data(), room, interleaved ? &in : nullptr, interleaved ? samples : 0);
    if (got < 0
        || (got > 0
            && av_audio_fifo_write(s.fifo, reinterpret_cast<void**>(s.planes.data()), got) < got)) {
        *why = QStringLiteral("cannot convert the audio for the encoder");
        return false;
    }
    s.convertedSamples += got;
    return true;
}

bool VideoWriter::encodeAudioUntil(std::int64_t sampleEnd, bool flush, QString* why)
{
    State& s = *s_;
    sampleEnd = std::min(sampleEnd, s.convertedSamples);
    const int frameSize = s.audio->frame_size > 0 ? s.audio->frame_size : 1024;
    const bool variable = s.audio->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE;
    while (s.audioDone < sampleEnd && (s.audioDone + frameSize <= sampleEnd || flush)) {
        const int n = int(std::min<std::int64_t>(frameSize, sampleEnd - s.audioDone));
        av_frame_unref(s.sound);
        s.sound->format = s.audio->sample_fmt;
        s.sound->sample_rate = s.audio->sample_rate;
        av_channel_layout_copy(&s.sound->ch_layout, &s.audio->ch_layout);
        // The encoder wants whole frames except for the last one.
        s.sound->nb_samples = variable ? n : frameSize;
        if (av_frame_get_buffer(s.sound, 0) < 0) {
            *why = QStringLiteral("out of memory");
            return false;
        }
        av_samples_set_silence(s.sound->extended_data, 0, s.sound->nb_samples,
            s.audio->ch_layout.nb_channels, s.audio->sample_fmt);
        if (av_audio_fifo_read(s.fifo, reinterpret_cast<void**>(s.sound->extended_data), n) < n) {
            *why = QStringLiteral("cannot convert the audio for the encoder");
            return false;
        }
        if (n < frameSize && !variable
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

bool VideoWriter::encodePicture(const unsigned char* rgba, QString* why)
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

bool VideoWriter::encodeEnd(QString* why)
{
    State& s = *s_;
    if (!convertAudio(nullptr, 0, why)
        || !encodeAudioUntil(s.pictures * s.audio->sample_rate / s.fps, true, why))
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

void VideoWriter::encodeJobs()
{
    State& s = *s_;
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(s.lock);
            s.changed.wait(lock, [&s] { return s.stop || !s.queue.empty(); });
            if (s.stop)
                return;
            job = std::move(s.queue.front());
            s.queue.pop_front();
        }
        QString why;
        bool ok = true;
        switch (job.kind) {
        case Job::Kind::Audio:
            ok = convertAudio(reinterpret_cast<const float*>(job.data.data()), job.samples, &why);
            break;
        case Job::Kind::Picture:
            ok = encodePicture(job.data.data(), &why);
            break;
        case Job::Kind::End:
            ok = encodeEnd(&why);
            break;
        }
        const std::lock_guard<std::mutex> lock(s.lock);
        if (!ok) {
            s.failure = why;
            s.stop = true;
        }
        if (job.kind == Job::Kind::End)
            s.stop = true;
        s.spare.push_back(std::move(job.data));
        s.changed.notify_all();
        if (s.stop)
            return;
    }
}

bool VideoWriter::queue(
    Job::Kind kind, const void* data, std::size_t bytes, int samples, QString* why)
{
    State& s = *s_;
    std::unique_lock<std::mutex> lock(s.lock);
    s.changed.wait(lock, [&s] { return s.stop || s.queue.size() < kQueuedJobs; });
    if (s.stop) {
        *why = s.failure;
        return false;
    }
    Job job;
    job.kind = kind;
    job.samples = samples;
    // The buffers go round between the two threads, so that none is allocated per picture.
    if (!s.spare.empty()) {
        job.data = std::move(s.spare.back());
        s.spare.pop_back();
    }
    const auto* from = static_cast<const unsigned char*>(data);
    job.data.assign(from, from + bytes);
    s.queue.push_back(std::move(job));
    s.changed.notify_all();
    return true;
}

bool VideoWriter::addAudio(const float* interleaved, int samples, QString* why)
{
    return queue(Job::Kind::Audio, interleaved,
        std::size_t(samples) * std::size_t(s_->inChannels) * sizeof(float), samples, why);
}

bool VideoWriter::addPicture(const unsigned char* rgba, QString* why)
{
    return queue(Job::Kind::Picture, rgba,
        std::size_t(s_->size.width()) * std::size_t(s_->size.height()) * 4, 0, why);
}

bool VideoWriter::finish(QString* why)
{
    State& s = *s_;
    if (!queue(Job::Kind::End, nullptr, 0, 0, why))
        return false;
    s.worker.join();
    if (!s.failure.isEmpty()) {
        *why = s.failure;
        return false;
    }
    return true;
}

} // namespace visualiser
