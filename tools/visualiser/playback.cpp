#include "playback.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <chrono>

namespace visualiser {

namespace {

    // Block written at a time and the server-side buffer asked for: small, so that the latency the
    // picture has to make up for stays near a display frame or two.
    constexpr int kBlockMs = 10;
    constexpr int kTargetLatencyMs = 60;
    constexpr auto kPausedPoll = std::chrono::milliseconds(10);

} // namespace

struct Playback::Stream {
    pa_simple* handle = nullptr;
    ~Stream()
    {
        if (handle)
            pa_simple_free(handle);
    }
};

Playback::Playback(const std::vector<float>& samples, int rateHz)
    : samples_(samples)
    , rate_(rateHz)
{
}

Playback::~Playback()
{
    quit_.store(true);
    if (thread_.joinable())
        thread_.join();
}

bool Playback::start(QString* why)
{
    pa_sample_spec sampleFormat {};
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = uint32_t(rate_);
    sampleFormat.channels = 1;
    pa_buffer_attr attr {};
    attr.maxlength = uint32_t(-1);
    attr.tlength = uint32_t(pa_usec_to_bytes(pa_usec_t(kTargetLatencyMs) * 1000, &sampleFormat));
    attr.prebuf = uint32_t(-1);
    attr.minreq = uint32_t(-1);
    attr.fragsize = uint32_t(-1);
    int error = 0;
    stream_ = std::make_unique<Stream>();
    stream_->handle = pa_simple_new(nullptr, "visualiser", PA_STREAM_PLAYBACK, nullptr, "music",
        &sampleFormat, nullptr, &attr, &error);
    if (!stream_->handle) {
        *why
            = QStringLiteral("no sound server: %1").arg(QString::fromLocal8Bit(pa_strerror(error)));
        stream_.reset();
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void Playback::run()
{
    const size_t block = size_t(std::max(1, rate_ * kBlockMs / 1000));
    std::vector<float> silence(block, 0.0f);
    std::int64_t written = 0;
    while (!quit_.load()) {
        if (paused_.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(kPausedPoll);
        } else {
            const float* data = silence.data();
            size_t count = block;
            if (size_t(written) < samples_.size()) {
                data = samples_.data() + written;
                count = std::min(block, samples_.size() - size_t(written));
            }
            int error = 0;
            if (pa_simple_write(stream_->handle, data, count * sizeof(float), &error) < 0)
                return;
            written += std::int64_t(count);
        }
        int error = 0;
        const pa_usec_t latency = pa_simple_get_latency(stream_->handle, &error);
        const std::int64_t queued = std::int64_t(latency) * rate_ / 1000000;
        // The latency estimate jitters; the heard position never goes back.
        heard_.store(std::max(heard_.load(std::memory_order_relaxed), written - queued),
            std::memory_order_release);
    }
}

} // namespace visualiser
