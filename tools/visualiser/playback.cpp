#include "playback.h"

#include <pulse/channelmap.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace visualiser {

namespace {

    // Block written at a time, and the server-side buffer asked for: deep enough that a thread
    // held off the processor for a while on a loaded machine still finds the sink fed (the picture
    // follows the heard position whatever the depth), and deeper than the lead the window asks
    // for, so that what is about to be heard has been written.
    constexpr int kBlockMs = 10;
    constexpr int kTargetLatencyMs = 200;
    constexpr auto kPausedPoll = std::chrono::milliseconds(10);
    // The mono mix kept for the analysis: far more than the server's queue, so that a window that
    // draws late still finds what was heard.
    constexpr int kHistorySec = 4;
    // Pauses between attempts to reach a server that went away, as capture's.
    constexpr auto kFirstRetry = std::chrono::milliseconds(100);
    constexpr auto kLongestRetry = std::chrono::milliseconds(1000);

} // namespace

struct Playback::Stream {
    pa_simple* handle = nullptr;
    ~Stream()
    {
        if (handle)
            pa_simple_free(handle);
    }
};

Playback::Playback(media::Feed& feed)
    : feed_(feed)
    , rate_(feed.sampleRate())
    // The server mixes what its sink does not have (5.1 into stereo) the way it does for every
    // player; beyond its channel map's reach the mono mix plays.
    , channels_(feed.channels() <= int(PA_CHANNELS_MAX) ? feed.channels() : 1)
    , history_(size_t(feed.sampleRate()) * kHistorySec, 0.0f)
    , sidesHistory_(2 * history_.size(), 0.0f)
{
}

Playback::~Playback()
{
    stop();
}

std::int64_t Playback::stop()
{
    quit_.store(true);
    if (thread_.joinable())
        thread_.join();
    return read_;
}

bool Playback::connect(QString* why)
{
    pa_sample_spec sampleFormat {};
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = uint32_t(rate_);
    sampleFormat.channels = uint8_t(channels_);
    // Decoders hand out channels in the WAVE order (left, right, centre, LFE, ...).
    pa_channel_map map;
    pa_channel_map_init_extend(&map, unsigned(channels_), PA_CHANNEL_MAP_WAVEEX);
    pa_buffer_attr attr {};
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(pa_usec_to_bytes(pa_usec_t(kTargetLatencyMs) * 1000, &sampleFormat));
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(-1);
    int error = 0;
    auto stream = std::make_unique<Stream>();
    stream->handle = pa_simple_new(nullptr, "visualiser", PA_STREAM_PLAYBACK, nullptr, "music",
        &sampleFormat, channels_ > 2 ? &map : nullptr, &attr, &error);
    if (!stream->handle) {
        *why
            = QStringLiteral("no sound server: %1").arg(QString::fromLocal8Bit(pa_strerror(error)));
        return false;
    }
    stream_ = std::move(stream);
    return true;
}

bool Playback::start(QString* why)
{
    const bool connected = connect(why);
    thread_ = std::thread([this] { run(); });
    return connected;
}

void Playback::monoAt(std::int64_t at, float* out, int count) const
{
    const std::lock_guard<std::mutex> lock(historyLock_);
    const auto size = std::int64_t(history_.size());
    for (int i = 0; i < count; ++i) {
        const std::int64_t p = at + i;
        out[i] = p < written_ && p >= written_ - size ? history_[size_t(p % size)] : 0.0f;
    }
}

void Playback::sidesAt(std::int64_t at, float* left, float* right, int count) const
{
    const std::lock_guard<std::mutex> lock(historyLock_);
    const auto size = std::int64_t(history_.size());
    for (int i = 0; i < count; ++i) {
        const std::int64_t p = at + i;
        const bool kept = p < written_ && p >= written_ - size;
        left[i] = kept ? sidesHistory_[size_t(2 * (p % size))] : 0.0f;
        right[i] = kept ? sidesHistory_[size_t(2 * (p % size) + 1)] : 0.0f;
    }
}

std::int64_t Playback::heardSamples() const
{
    const std::lock_guard<std::mutex> lock(heardLock_);
    // Nothing is carried forward before the server has been seen playing a block: a fresh stream
    // can wait for its sink to wake (a second or two for an idle null sink) before a sample is
    // heard, and what was written meanwhile would read as heard.
    if (paused_.load(std::memory_order_acquire) || heard_ < rate_ * kBlockMs / 1000)
        return heard_;
    const auto since = std::chrono::steady_clock::now() - heardAt_;
    const std::int64_t carried = heard_
        + std::int64_t(std::chrono::duration_cast<std::chrono::microseconds>(since).count()) * rate_
            / 1000000;
    return std::max(heard_, std::min(carried, writtenSamples()));
}

void Playback::setHeard(std::int64_t samples)
{
    const std::lock_guard<std::mutex> lock(heardLock_);
    // The latency estimate jitters; the heard position never goes back.
    heard_ = std::max(heard_, samples);
    heardAt_ = std::chrono::steady_clock::now();
}

struct Playback::Blocks {
    using Clock = std::chrono::steady_clock;

    Blocks(int rate, int feedChannels)
        : size(std::max(1, rate * kBlockMs / 1000))
        , mono(size_t(size), 0.0f)
        , own(size_t(size) * size_t(feedChannels), 0.0f)
    {
    }

    int size;
    std::vector<float> mono;
    // The feed's channels, and what goes to the server: the same, or their mono mix.
    std::vector<float> own;
    bool ended = false;
    std::int64_t written = 0;
    // While the server is away: when the next block is due, and the next attempt to reconnect.
    std::chrono::milliseconds retry = kFirstRetry;
    Clock::time_point due = Clock::now();
    Clock::time_point retryAt = due + retry;
};

void Playback::run()
{
    Blocks b(rate_, feed_.channels());
    while (!quit_.load()) {
        if (paused_.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(kPausedPoll);
            b.due = Blocks::Clock::now();
        } else {
            playBlock(b);
        }
        if (!stream_) {
            standInForServer(b);
            continue;
        }
        int error = 0;
        const pa_usec_t latency = pa_simple_get_latency(stream_->handle, &error);
        const std::int64_t queued = std::int64_t(latency) * rate_ / 1000000;
        setHeard(b.written - queued);
    }
}

// Reads the next block (silence once the feed has ended) and keeps its mono mix for the picture.
void Playback::fillBlock(Blocks& b)
{
    const int got = b.ended ? 0 : feed_.read(b.mono.data(), b.size, b.own.data());
    read_ += got;
    if (got < b.size && !b.ended) {
        b.ended = true;
        end_.store(b.written + got, std::memory_order_release);
    }
    if (got < b.size) {
        std::fill(b.mono.begin() + got, b.mono.end(), 0.0f);
        std::fill(b.own.begin() + std::ptrdiff_t(got) * feed_.channels(), b.own.end(), 0.0f);
    }
    const std::lock_guard<std::mutex> lock(historyLock_);
    for (int i = 0; i < b.size; ++i)
        history_[size_t((b.written + i) % std::int64_t(history_.size()))] = b.mono[size_t(i)];
    // The front left and right, as a stereo layout analyses them (a mono feed's one channel twice).
    const int channels = feed_.channels();
    for (int i = 0; i < b.size; ++i) {
        const auto at = size_t(2 * ((b.written + i) % std::int64_t(history_.size())));
        sidesHistory_[at] = b.own[size_t(i * channels)];
        sidesHistory_[at + 1] = b.own[size_t(i * channels + (channels > 1 ? 1 : 0))];
    }
    written_ = b.written + b.size;
}

void Playback::playBlock(Blocks& b)
{
    fillBlock(b);
    const float gain = gain_.load(std::memory_order_acquire);
    if (gain != 1.0f) {
        for (float& v : b.mono)
            v *= gain;
        for (float& v : b.own)
            v *= gain;
    }
    const bool mixed = channels_ != feed_.channels();
    int error = 0;
    if (stream_
        && pa_simple_write(stream_->handle, mixed ? b.mono.data() : b.own.data(),
               size_t(b.size) * size_t(channels_) * sizeof(float), &error)
            < 0) {
        std::fprintf(stderr,
            "visualiser: sound server gone (%s); playing on silently while reconnecting\n",
            pa_strerror(error));
        stream_.reset();
        b.due = Blocks::Clock::now();
        b.retryAt = b.due + b.retry;
    }
    b.written += b.size;
    writtenCount_.store(b.written, std::memory_order_release);
}

// The wall clock stands in for the server's, one block at a time, while reconnecting with pauses
// that double up to the longest.
void Playback::standInForServer(Blocks& b)
{
    b.due += std::chrono::milliseconds(kBlockMs);
    std::this_thread::sleep_until(b.due);
    setHeard(b.written);
    if (Blocks::Clock::now() < b.retryAt)
        return;
    QString why;
    if (connect(&why)) {
        b.retry = kFirstRetry;
    } else {
        b.retry = std::min(b.retry * 2, kLongestRetry);
        b.retryAt = Blocks::Clock::now() + b.retry;
    }
}

} // namespace visualiser
