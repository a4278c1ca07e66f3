#include "media/videowriter.h"

#include "media/avcodecapi.h"
#include "media/avformatapi.h"
#include "media/ffmpegsetup.h"

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

namespace media {

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
        return QString::fromStdString(ffmpegErrorText(code));
    }

    // The sink itself says why a write or seek failed, with the system's reason.
    int writePacket(void* opaque, ffmpeg::WriteBytes data, int size)
    {
        auto* file = static_cast<ByteSink*>(opaque);
        return file->write(reinterpret_cast<const char*>(data), std::size_t(size)) ? size
                                                                                   : AVERROR(EIO);
    }

    int64_t seekFile(void* opaque, int64_t offset, int whence)
    {
        auto* file = static_cast<ByteSink*>(opaque);
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
    ByteSink& file;
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

    explicit State(ByteSink& out)
        : file(out)
    {
    }
    // The steps of open(), in order; each returns why it failed, empty when it did not.
    QString openMuxer(const QByteArray& container);
    QString openVideo(bool webm);
    QString openAudio(bool webm, int channels, int rateHz);
    QString openAudioConversion(int channels, int rateHz);
    QString writeHeader();
    QString openPictureConversion();
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

namespace {

    // The muxer's name for the file's extension.
    QByteArray containerFor(const QString& path)
    {
        const QString suffix = QFileInfo(path).suffix().toLower();
        return suffix == QLatin1String("webm") ? "webm"
            : suffix == QLatin1String("mkv")   ? "matroska"
                                               : "mp4";
    }

    QString noEncoder(const char* name)
    {
        return QStringLiteral("FFmpeg has no %1 encoder").arg(QLatin1String(name));
    }

    // Bit-exact output on one thread, with the headers where the container wants them.
    void setExact(AVCodecContext* codec, const AVFormatContext* format)
    {
        codec->thread_count = 1;
        codec->flags |= AV_CODEC_FLAG_BITEXACT;
        if (format->oformat->flags & AVFMT_GLOBALHEADER)
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }

    AVStream* addStream(AVFormatContext* format, const AVCodecContext* codec)
    {
        AVStream* stream = avformat_new_stream(format, nullptr);
        avcodec_parameters_from_context(stream->codecpar, codec);
        stream->time_base = codec->time_base;
        return stream;
    }

    // The rate the encoder runs at: Opus at 48 kHz only; AAC keeps the programme's rate where it
    // can.
    int encoderRate(const AVCodec* codec, bool webm, int rateHz)
    {
        const int* rates = ffmpeg::supportedSampleRates(codec);
        if (!webm && !rates)
            return rateHz;
        bool supported = false;
        for (const int* r = rates; r && *r; ++r)
            supported = supported || *r == rateHz;
        return supported ? rateHz : 48000;
    }

} // namespace

QString VideoWriter::State::openMuxer(const QByteArray& container)
{
    if (avformat_alloc_output_context2(&format, nullptr, container.constData(), nullptr) < 0)
        return QStringLiteral("FFmpeg has no %1 muxer").arg(QLatin1String(container));
    format->flags |= AVFMT_FLAG_BITEXACT;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    io = avio_alloc_context(buffer, kIoBufferBytes, 1, &file, nullptr, writePacket, seekFile);
    if (!io) {
        av_free(buffer);
        return QStringLiteral("out of memory");
    }
    format->pb = io;
    return {};
}

QString VideoWriter::State::openVideo(bool webm)
{
    const char* name = webm ? "libvpx-vp9" : "libx264";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec)
        return noEncoder(name);
    video = avcodec_alloc_context3(codec);
    video->width = size.width();
    video->height = size.height();
    video->pix_fmt = AV_PIX_FMT_YUV420P;
    video->time_base = AVRational { 1, fps };
    video->framerate = AVRational { fps, 1 };
    video->gop_size = fps * 2;
    video->color_range = AVCOL_RANGE_MPEG;
    video->colorspace = AVCOL_SPC_BT709;
    video->color_primaries = AVCOL_PRI_BT709;
    video->color_trc = AVCOL_TRC_BT709;
    setExact(video, format);
    AVDictionary* options = nullptr;
    if (webm) {
        av_dict_set(&options, "crf", kVp9Crf, 0);
        av_dict_set(&options, "b", "0", 0);
        av_dict_set(&options, "deadline", "realtime", 0);
        av_dict_set(&options, "cpu-used", "8", 0);
        av_dict_set(&options, "row-mt", "0", 0);
    } else {
        av_dict_set(&options, "preset", "veryfast", 0);
        av_dict_set(&options, "crf", kH264Crf, 0);
    }
    const int rc = avcodec_open2(video, codec, &options);
    av_dict_free(&options);
    if (rc < 0)
        return QStringLiteral("cannot open the video encoder: %1").arg(averror(rc));
    videoStream = addStream(format, video);
    return {};
}

QString VideoWriter::State::openAudio(bool webm, int channels, int rateHz)
{
    const char* name = webm ? "libopus" : "aac";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec)
        return noEncoder(name);
    audio = avcodec_alloc_context3(codec);
    const int outRate = encoderRate(codec, webm, rateHz);
    audio->sample_rate = outRate;
    audio->sample_fmt = ffmpeg::preferredSampleFormat(codec, AV_SAMPLE_FMT_FLTP);
    av_channel_layout_default(&audio->ch_layout, std::min(channels, kMostChannels));
    audio->bit_rate = webm ? kOpusBitRate : kAacBitRate;
    audio->time_base = AVRational { 1, outRate };
    setExact(audio, format);
    const int rc = avcodec_open2(audio, codec, nullptr);
    if (rc < 0)
        return QStringLiteral("cannot open the audio encoder: %1").arg(averror(rc));
    audioStream = addStream(format, audio);
    return {};
}

// The audio as it comes, converted on the way in: rate, sample format, and a mix-down of more
// channels than two.
QString VideoWriter::State::openAudioConversion(int channels, int rateHz)
{
    AVChannelLayout inLayout;
    av_channel_layout_default(&inLayout, channels);
    const int rc = swr_alloc_set_opts2(&resample, &audio->ch_layout, audio->sample_fmt,
        audio->sample_rate, &inLayout, AV_SAMPLE_FMT_FLT, rateHz, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (rc < 0 || swr_init(resample) < 0)
        return QStringLiteral("cannot convert the audio for the encoder");
    fifo = av_audio_fifo_alloc(audio->sample_fmt, audio->ch_layout.nb_channels, 1);
    if (!fifo)
        return QStringLiteral("out of memory");
    inChannels = channels;
    const int planeCount
        = av_sample_fmt_is_planar(audio->sample_fmt) ? audio->ch_layout.nb_channels : 1;
    converted.resize(size_t(planeCount));
    planes.resize(size_t(planeCount));
    return {};
}

QString VideoWriter::State::writeHeader()
{
    AVDictionary* options = nullptr;
    av_dict_set(&options, "fflags", "+bitexact", 0);
    const int rc = avformat_write_header(format, &options);
    av_dict_free(&options);
    if (rc < 0)
        return QStringLiteral("cannot write the header: %1").arg(averror(rc));
    headerWritten = true;
    return {};
}

QString VideoWriter::State::openPictureConversion()
{
    picture = av_frame_alloc();
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = size.width();
    picture->height = size.height();
    sound = av_frame_alloc();
    packet = av_packet_alloc();
    if (av_frame_get_buffer(picture, 0) < 0)
        return QStringLiteral("out of memory");
    // Limited-range BT.709, as the stream says; bit-exact rounding.
    scale = sws_getContext(size.width(), size.height(), AV_PIX_FMT_RGBA, size.width(),
        size.height(), AV_PIX_FMT_YUV420P, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_BITEXACT, nullptr,
        nullptr, nullptr);
    if (!scale)
        return QStringLiteral("cannot convert pictures for the encoder");
    sws_setColorspaceDetails(scale, sws_getCoefficients(SWS_CS_DEFAULT), 1,
        sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    return {};
}

std::unique_ptr<VideoWriter> VideoWriter::open(ByteSink& file, const QString& path, QSize size,
    int fps, int channels, int rateHz, QString* why)
{
    if (size.width() % 2 || size.height() % 2) {
        *why = QStringLiteral("a video needs even sides, not %1x%2")
                   .arg(size.width())
                   .arg(size.height());
        return nullptr;
    }
    setUpFfmpeg();
    auto s = std::make_unique<State>(file);
    s->size = size;
    s->fps = fps;
    const QByteArray container = containerFor(path);
    const bool webm = container == "webm";
    QString failure = s->openMuxer(container);
    if (failure.isEmpty())
        failure = s->openVideo(webm);
    if (failure.isEmpty())
        failure = s->openAudio(webm, channels, rateHz);
    if (failure.isEmpty())
        failure = s->openAudioConversion(channels, rateHz);
    if (failure.isEmpty())
        failure = s->writeHeader();
    if (failure.isEmpty())
        failure = s->openPictureConversion();
    if (!failure.isEmpty()) {
        *why = QStringLiteral("%1: %2").arg(path, failure);
        return nullptr;
    }
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

} // namespace media
