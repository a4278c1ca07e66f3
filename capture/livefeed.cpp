#include "capture/livefeed.h"

#include "dsp/ballistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace capture {

namespace {

    constexpr auto kTick = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / dsp::kFrameRateHz));

    int delayOf(const Status& s, int extraMs)
    {
        return static_cast<int>(std::lround(1000.0 * s.outputLatencySec)) + extraMs;
    }

    std::string describe(const Status& s, int rate, int ringSamples, int extraMs)
    {
        char text[256];
        if (s.link != Link::Streaming) {
            std::snprintf(text, sizeof(text), "%s: %s",
                s.link == Link::Waiting ? "waiting" : "reconnecting", s.problem.c_str());
            return text;
        }
        const double latencyMs = 1000.0 * (s.latencySec + static_cast<double>(ringSamples) / rate);
        // The figures first: a long source name is what the line cuts.
        std::snprintf(text, sizeof(text), "latency %.0f ms  delay %d ms  dropped %llu  %s",
            latencyMs, delayOf(s, extraMs), static_cast<unsigned long long>(s.droppedSamples),
            s.source.c_str());
        return text;
    }

} // namespace

std::unique_ptr<LiveFeed> LiveFeed::open(
    const std::string& appName, const std::string& source, std::string* reason, Backend backend)
{
    return open(appName, createCaptureSource(appName, backend), source, reason);
}

std::unique_ptr<LiveFeed> LiveFeed::open(const std::string& appName,
    std::unique_ptr<CaptureSource> capture, const std::string& source, std::string* reason)
{
    if (!capture->start(source, reason))
        return nullptr;
    return std::unique_ptr<LiveFeed>(new LiveFeed(appName, std::move(capture)));
}

LiveFeed::LiveFeed(std::string appName, std::unique_ptr<CaptureSource> capture)
    : app_(std::move(appName))
    , capture_(std::move(capture))
    , pacer_(capture_->ring(), capture_->sampleRate())
    , hops_(static_cast<std::size_t>(
          kMaxHopsPerFrame * pacer_.largestHop() * capture_->ring().channels()))
    , nextTick_(Clock::now())
    , note_(describe(capture_->status(), capture_->sampleRate(), 0, 0))
    , delayMs_(delayOf(last_, 0))
{
}

void LiveFeed::setExtraDelayMs(int extraMs)
{
    extraDelayMs_ = extraMs;
    delayMs_ = delayOf(last_, extraMs);
    note_ = describe(last_, capture_->sampleRate(), capture_->ring().available(), extraMs);
}

LiveFeed::~LiveFeed()
{
    capture_->stop();
}

bool LiveFeed::due() const
{
    return pendingSize_ > 0 || Clock::now() >= nextTick_ + kTick;
}

int LiveFeed::read(float* mono, int count, float* channels)
{
    int at = 0;
    int size = 0;
    if (pendingSize_ > 0) {
        at = pendingAt_;
        size = pendingSize_;
        pendingSize_ = 0;
    } else {
        nextTick_ += kTick;
        const Clock::time_point now = Clock::now();
        if (now < nextTick_)
            std::this_thread::sleep_until(nextTick_);
        else if (now - nextTick_ > kMaxLateTicks * kTick)
            nextTick_ = now;
        const HopPacer::Frame f = pacer_.next(hops_.data());
        size = f.hopSize[0];
        if (f.hops == 2) {
            pendingAt_ = size;
            pendingSize_ = f.hopSize[1];
        }
        if (--framesToStatus_ <= 0) {
            framesToStatus_ = kStatusEveryFrames;
            lookAtStatus();
        }
    }
    // The analysis asks for the hops of the same HopClock, so the sizes agree; should they not,
    // the hop is cut or padded with silence.
    const int n = std::min(count, size);
    const int width = this->channels();
    const float* hop = hops_.data() + static_cast<std::ptrdiff_t>(at) * width;
    // The channels' average, as a decoded file's mix is made.
    const float share = 1.0f / static_cast<float>(width);
    for (int i = 0; i < n; ++i) {
        float sum = 0.0f;
        for (int c = 0; c < width; ++c)
            sum += hop[i * width + c];
        mono[i] = sum * share;
    }
    std::fill(mono + n, mono + count, 0.0f);
    if (channels) {
        std::copy(hop, hop + n * width, channels);
        std::fill(channels + n * width, channels + count * width, 0.0f);
    }
    return count;
}

void LiveFeed::lookAtStatus()
{
    const Status now = capture_->status();
    note_ = describe(now, capture_->sampleRate(), capture_->ring().available(), extraDelayMs_);
    delayMs_ = delayOf(now, extraDelayMs_);
    if (say_) {
        const std::string prefix = app_ + ": capture: ";
        if (now.link == Link::Waiting && last_.link != Link::Waiting)
            say_(prefix + now.problem + "; the bars rest until it appears");
        else if (last_.link == Link::Streaming && now.link != Link::Streaming)
            say_(prefix + now.problem + "; analysing silence until it comes back");
        if (last_.link == Link::Waiting && now.link == Link::Streaming)
            say_(prefix + "capturing " + now.source);
        else if (now.reconnects > last_.reconnects)
            say_(prefix + "capturing " + now.source + " again");
        else if (now.moves > last_.moves && now.link == Link::Streaming)
            say_(prefix + "the stream moved to " + now.source);
    }
    last_ = now;
}

std::string LiveFeed::report() const
{
    const Status s = capture_->status();
    // Counted in display ticks of 1/60 s, not analysis frames: the analysis makes its first frame
    // only once its window is full, a few ticks after the first, so the run's result line counts
    // fewer. The share of single hops counts from the first audio: before it, the server had
    // nothing.
    const double audioFrames
        = std::max<double>(static_cast<double>(pacer_.frames() - pacer_.waitingFrames()), 1.0);
    char line[400];
    std::snprintf(line, sizeof(line),
        "%s: capture: %s; %llu ticks, %llu silent before the first audio, then %.1f %% "
        "one hop, %llu catching up, %llu silent (starved), %llu samples dropped, %llu skipped, "
        "%d reconnects, %d moves, delay %d ms",
        app_.c_str(), s.source.c_str(), static_cast<unsigned long long>(pacer_.frames()),
        static_cast<unsigned long long>(pacer_.waitingFrames()),
        100.0 * static_cast<double>(pacer_.singleHopFrames()) / audioFrames,
        static_cast<unsigned long long>(pacer_.catchUpFrames()),
        static_cast<unsigned long long>(pacer_.starvedFrames()),
        static_cast<unsigned long long>(s.droppedSamples),
        static_cast<unsigned long long>(pacer_.skippedSamples()), s.reconnects, s.moves, delayMs());
    return line;
}

} // namespace capture
