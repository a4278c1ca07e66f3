#include "pulsecapture.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace capture {

namespace {

    // The channel at position in map, else fallback (the first or second), within the map's
    // channels: a mono source feeds both sides, a source without front left and right its first
    // two.
    int sideOf(const pa_channel_map& map, pa_channel_position_t position, int fallback)
    {
        for (int c = 0; c < map.channels; ++c)
            if (map.map[c] == position)
                return c;
        return std::min(fallback, std::max(map.channels - 1, 0));
    }

    // What a person should do when there is no server to talk to.
    constexpr const char* kServerFix = "start PulseAudio (pulseaudio --start) or PipeWire's "
                                       "pipewire-pulse, or point PULSE_SERVER "
                                       "at a running server";

    std::string noServer(pa_context* c)
    {
        return std::string("no sound server to capture from (") + pa_strerror(pa_context_errno(c))
            + "): " + kServerFix;
    }

    int clampRate(unsigned rate)
    {
        // The analysis covers 8 to 192 kHz; the server resamples a source outside that.
        return static_cast<int>(std::clamp(rate, 8000u, 192000u));
    }

    // A wall-clock time ms from now, as the main loop's timers take it.
    const timeval* inMs(timeval* tv, int ms)
    {
        pa_gettimeofday(tv);
        return pa_timeval_add(tv, static_cast<pa_usec_t>(ms) * PA_USEC_PER_MSEC);
    }

} // namespace

PulseCapture::PulseCapture(std::string appName)
    : appName_(std::move(appName))
{
}

PulseCapture::~PulseCapture()
{
    stop();
}

bool PulseCapture::start(const std::string& source, std::string* error)
{
    if (loop_) {
        *error = "capture already started";
        return false;
    }
    // PulseAudio shows an application's streams only one by one, as they come and go.
    if (source.rfind(kApplicationPrefix, 0) == 0) {
        *error = "capturing one application (" + source
            + ") needs the PipeWire back end (--capture-backend pipewire)";
        return false;
    }
    loop_ = pa_threaded_mainloop_new();
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
        *error = "cannot start the capture thread";
        stop();
        return false;
    }
    pa_threaded_mainloop_lock(loop_);
    starting_ = true;
    startError_.clear();
    wanted_ = source.empty() ? kDefaultMonitor : source;
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    timeval tv;
    timer_ = api->time_new(api, inMs(&tv, kStartTimeoutMs), onTimer, this);
    connectContext();
    while (starting_ && startError_.empty())
        pa_threaded_mainloop_wait(loop_);
    const std::string failed = startError_;
    pa_threaded_mainloop_unlock(loop_);
    if (!failed.empty()) {
        *error = failed;
        stop();
        return false;
    }
    return true;
}

void PulseCapture::stop()
{
    if (!loop_)
        return;
    pa_threaded_mainloop_lock(loop_);
    if (timer_) {
        pa_threaded_mainloop_get_api(loop_)->time_free(timer_);
        timer_ = nullptr;
    }
    dropStream();
    dropContext();
    link_ = Link::Stopped;
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

Status PulseCapture::status() const
{
    Status s;
    if (loop_)
        pa_threaded_mainloop_lock(loop_);
    s.link = link_;
    s.source = link_ == Link::Streaming ? current_ : wanted_;
    s.reconnects = reconnects_;
    s.moves = moves_;
    s.retryMs = link_ == Link::Reconnecting ? pendingRetryMs_ : 0;
    s.failedAttempts = link_ == Link::Reconnecting ? failedAttempts_ : 0;
    s.problem = problem_;
    if (loop_)
        pa_threaded_mainloop_unlock(loop_);
    s.latencySec = latencySec_.load(std::memory_order_relaxed);
    s.capturedSamples = captured_.load(std::memory_order_relaxed);
    s.droppedSamples = ring_ ? ring_->dropped() : 0;
    return s;
}

void PulseCapture::connectContext()
{
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    context_ = pa_context_new(api, appName_.c_str());
    if (!context_) {
        lost("cannot create a sound server connection");
        return;
    }
    pa_context_set_state_callback(context_, onContextState, this);
    // No autospawn: a visualiser must not start a sound server behind the user's back. A refused
    // connection has already reported itself through the state callback; counting it twice would
    // double the pause twice per attempt.
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
        && pa_context_get_state(context_) != PA_CONTEXT_FAILED)
        lost(noServer(context_));
}

void PulseCapture::onContextState(pa_context* c, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    if (c != self->context_)
        return;
    switch (pa_context_get_state(c)) {
    case PA_CONTEXT_READY:
        self->watchServer();
        self->lookUpSource();
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        self->lost(self->starting_ ? noServer(c)
                                   : std::string("the sound server went away (")
                    + pa_strerror(pa_context_errno(c)) + ")");
        break;
    default:
        break;
    }
}

void PulseCapture::lookUpSource()
{
    pa_operation* op
        = pa_context_get_source_info_by_name(context_, wanted_.c_str(), onSourceInfo, this);
    if (op)
        pa_operation_unref(op);
    else
        lost(std::string("cannot ask for source ") + wanted_);
}

void PulseCapture::watchServer()
{
    pa_context_set_subscribe_callback(
        context_,
        [](pa_context* c, pa_subscription_event_type_t event, std::uint32_t, void* self) {
            onServerEvent(c, event, self);
        },
        this);
    const auto mask = static_cast<pa_subscription_mask_t>(wanted_ == kDefaultMonitor
            ? PA_SUBSCRIPTION_MASK_SERVER
            : PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE);
    if (pa_operation* op = pa_context_subscribe(context_, mask, nullptr, nullptr))
        pa_operation_unref(op);
}

void PulseCapture::onServerEvent(pa_context* c, unsigned event, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    if (c != self->context_)
        return;
    if ((event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SOURCE) {
        // Perhaps the source awaited. Not only while Waiting: it may appear while start() still
        // asks for the server's rate, and a second look-up finds an open stream and does nothing.
        if ((event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_NEW
            && !self->stream_)
            self->lookUpSource();
        return;
    }
    // The server's defaults may have changed: where is the default output's monitor now?
    if (self->link_ != Link::Streaming)
        return;
    pa_operation* op
        = pa_context_get_source_info_by_name(c, kDefaultMonitor, onDefaultMonitor, self);
    if (op)
        pa_operation_unref(op);
}

void PulseCapture::onDefaultMonitor(pa_context* c, const pa_source_info* info, int, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    if (c != self->context_ || !info || !self->stream_
        || pa_stream_get_state(self->stream_) != PA_STREAM_READY)
        return;
    const std::string to = sourceAfterDefaultChange(self->wanted_, self->current_, info->name);
    if (to.empty())
        return;
    // The stream's moved callback then counts the move and names the new source.
    pa_operation* op = pa_context_move_source_output_by_name(
        c, pa_stream_get_index(self->stream_), to.c_str(), nullptr, nullptr);
    if (op)
        pa_operation_unref(op);
}

void PulseCapture::onSourceInfo(pa_context* c, const pa_source_info* info, int eol, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    if (c != self->context_ || self->stream_)
        return;
    if (info) {
        self->openStream(*info);
        return;
    }
    if (eol >= 0)
        return;
    // No such source.
    if (self->wanted_ == kDefaultMonitor) {
        self->lost("the default output has no monitor");
        return;
    }
    if (self->rate_ != 0) {
        self->awaitSource("is absent");
        return;
    }
    // Absent at start: the rate the server mixes at stands in for the source's.
    if (pa_operation* op = pa_context_get_server_info(c, onServerRate, self))
        pa_operation_unref(op);
    else
        self->lost("cannot ask the sound server for its sample rate");
}

void PulseCapture::onServerRate(pa_context* c, const pa_server_info* info, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    // The source may have appeared meanwhile and be captured already.
    if (c != self->context_ || self->stream_)
        return;
    if (!info) {
        self->lost("cannot ask the sound server for its sample rate");
        return;
    }
    self->fixRate(info->sample_spec.rate);
    self->awaitSource("is absent");
}

void PulseCapture::fixRate(unsigned serverRate)
{
    if (rate_ == 0)
        rate_ = clampRate(serverRate);
    if (!ring_)
        ring_ = std::make_unique<SampleRing>(rate_ * kRingMs / 1000, kRingChannels);
}

void PulseCapture::awaitSource(const char* what)
{
    dropStream();
    // A look-up that finds the source still gone keeps the first word on it.
    if (link_ != Link::Waiting)
        problem_ = "source '" + wanted_ + "' " + what + "; waiting for it";
    link_ = Link::Waiting;
    // The server answers: a later loss of it starts from the first pause again.
    retryMs_ = kRetryFirstMs;
    latencySec_.store(0.0, std::memory_order_relaxed);
    if (starting_)
        started();
}

void PulseCapture::started()
{
    starting_ = false;
    pa_threaded_mainloop_get_api(loop_)->time_restart(timer_, nullptr);
    pa_threaded_mainloop_signal(loop_, 0);
}

void PulseCapture::openStream(const pa_source_info& info)
{
    fixRate(info.sample_spec.rate);
    pa_sample_spec sampleFormat;
    sampleFormat.format = PA_SAMPLE_FLOAT32NE;
    sampleFormat.rate = static_cast<std::uint32_t>(rate_);
    sampleFormat.channels = info.sample_spec.channels;
    stream_ = pa_stream_new(context_, "capture", &sampleFormat, &info.channel_map);
    if (!stream_) {
        lost(std::string("cannot create a capture stream: ")
            + pa_strerror(pa_context_errno(context_)));
        return;
    }
    streamChannels_ = sampleFormat.channels;
    leftChannel_ = sideOf(info.channel_map, PA_CHANNEL_POSITION_FRONT_LEFT, 0);
    rightChannel_ = sideOf(info.channel_map, PA_CHANNEL_POSITION_FRONT_RIGHT, 1);
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_read_callback(stream_, onRead, this);
    pa_stream_set_moved_callback(stream_, onStreamMoved, this);
    pa_stream_set_latency_update_callback(stream_, onLatency, this);
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr); // (uint32_t) -1 everywhere: the server's choice
    // Without a fragment size the server delivers in ~2 s lumps.
    attr.fragsize = static_cast<std::uint32_t>(
        pa_usec_to_bytes(kFragmentMs * PA_USEC_PER_MSEC, &sampleFormat));
    // A source the user named is never replaced: when it goes, the server ends the stream
    // rather than move it to another (a microphone, say).
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY
        | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE
        | (wanted_ == kDefaultMonitor ? 0 : PA_STREAM_DONT_MOVE));
    if (pa_stream_connect_record(stream_, info.name, &attr, flags) < 0)
        lost(std::string("cannot capture ") + info.name + ": "
            + pa_strerror(pa_context_errno(context_)));
}

void PulseCapture::onStreamState(pa_stream* s, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    if (s != self->stream_)
        return;
    switch (pa_stream_get_state(s)) {
    case PA_STREAM_READY:
        self->current_ = pa_stream_get_device_name(s);
        self->link_ = Link::Streaming;
        self->retryMs_ = kRetryFirstMs;
        if (self->everStreamed_)
            ++self->reconnects_;
        self->everStreamed_ = true;
        if (self->starting_)
            self->started();
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        // With the server gone the context reports it; here only the stream ended, its source
        // removed (a named one is never moved, what plays had nowhere to go), or the stream
        // killed.
        if (pa_context_get_state(self->context_) != PA_CONTEXT_READY)
            break;
        if (self->wanted_ == kDefaultMonitor) {
            self->problem_ = "source '" + self->current_ + "' went away";
            self->lost(self->problem_);
            break;
        }
        self->awaitSource("went away");
        // It may be back already, or the stream was only killed.
        self->lookUpSource();
        break;
    default:
        break;
    }
}

void PulseCapture::onStreamMoved(pa_stream* s, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    if (s != self->stream_)
        return;
    // Only what plays moves (a named source's stream may not): after the default output, or
    // where the server sent it when its source went.
    const std::string to = pa_stream_get_device_name(s);
    if (to == self->current_)
        return;
    self->current_ = to;
    ++self->moves_;
}

void PulseCapture::onLatency(pa_stream* s, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    pa_usec_t usec = 0;
    int negative = 0;
    // A monitor can deliver samples before its output plays them: a negative latency, shown as 0.
    if (pa_stream_get_latency(s, &usec, &negative) == 0)
        self->latencySec_.store(negative ? 0.0 : usec / 1e6, std::memory_order_relaxed);
}

// The audio path: copies what arrived into the ring, its left and right, and nothing else. It
// never allocates, locks or analyses; libpulse's own bookkeeping around it is libpulse's.
void PulseCapture::onRead(pa_stream* s, std::size_t, void* user)
{
    const CallbackProbe watch = callbackProbe();
    if (watch)
        watch(true);
    auto* self = static_cast<PulseCapture*>(user);
    const int channels = self->streamChannels_;
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
        const auto* in = static_cast<const float*>(data);
        int frames = static_cast<int>(bytes / (sizeof(float) * channels));
        self->captured_.fetch_add(frames, std::memory_order_relaxed);
        while (frames > 0) {
            const int n = std::min(frames, kMixFrames);
            for (int i = 0; i < n; ++i) {
                // A hole in the stream (no data) is silence.
                self->pairs_[2 * i] = in ? in[self->leftChannel_] : 0.0f;
                self->pairs_[2 * i + 1] = in ? in[self->rightChannel_] : 0.0f;
                if (in)
                    in += channels;
            }
            self->ring_->write(self->pairs_, n);
            frames -= n;
        }
        pa_stream_drop(s);
    }
    if (watch)
        watch(false);
}

void PulseCapture::dropStream()
{
    if (!stream_)
        return;
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_moved_callback(stream_, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY)
        pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulseCapture::dropContext()
{
    if (!context_)
        return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_set_subscribe_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseCapture::lost(const std::string& reason)
{
    dropStream();
    if (starting_) {
        failStart(reason);
        return;
    }
    // The first reason stands while the attempts fail.
    if (link_ != Link::Reconnecting || problem_.empty())
        problem_ = reason;
    failedAttempts_ = link_ == Link::Reconnecting ? failedAttempts_ + 1 : 0;
    link_ = Link::Reconnecting;
    latencySec_.store(0.0, std::memory_order_relaxed);
    pendingRetryMs_ = retryMs_;
    retryIn(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kRetryLongestMs);
}

void PulseCapture::retryIn(int ms)
{
    timeval tv;
    pa_threaded_mainloop_get_api(loop_)->time_restart(timer_, inMs(&tv, ms));
}

void PulseCapture::onTimer(pa_mainloop_api*, pa_time_event*, const timeval*, void* user)
{
    auto* self = static_cast<PulseCapture*>(user);
    if (self->starting_) {
        self->failStart("the sound server did not answer within 5 s: " + std::string(kServerFix));
        return;
    }
    if (self->context_ && pa_context_get_state(self->context_) == PA_CONTEXT_READY) {
        self->lookUpSource();
        return;
    }
    self->dropContext();
    self->connectContext();
}

void PulseCapture::failStart(const std::string& error)
{
    startError_ = error;
    pa_threaded_mainloop_signal(loop_, 0);
}

namespace {

    // One short-lived connection on the caller's thread, for listing.
    struct Listing {
        std::vector<SourceInfo>* sources;
        std::string defaultSource;
        std::string defaultSink;
        // Per source, the output it monitors ("" for an input).
        std::vector<std::string> monitored;
        int pending = 0;
        bool failed = false;
    };

    void onServerInfo(pa_context*, const pa_server_info* info, void* user)
    {
        auto* l = static_cast<Listing*>(user);
        if (info && info->default_source_name)
            l->defaultSource = info->default_source_name;
        if (info && info->default_sink_name)
            l->defaultSink = info->default_sink_name;
        --l->pending;
    }

    void onListedSource(pa_context*, const pa_source_info* info, int eol, void* user)
    {
        auto* l = static_cast<Listing*>(user);
        if (eol) {
            l->failed = eol < 0;
            --l->pending;
            return;
        }
        SourceInfo s;
        s.name = info->name;
        s.description = info->description ? info->description : "";
        s.rateHz = static_cast<int>(info->sample_spec.rate);
        s.channels = info->sample_spec.channels;
        s.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        l->sources->push_back(s);
        l->monitored.push_back(
            s.isMonitor && info->monitor_of_sink_name ? info->monitor_of_sink_name : "");
    }

} // namespace

bool PulseCapture::listSources(std::vector<SourceInfo>* sources, std::string* error)
{
    sources->clear();
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* c = pa_context_new(pa_mainloop_get_api(loop), appName_.c_str());
    Listing listing { sources, {}, {}, {}, 0, false };
    bool ok = pa_context_connect(c, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
    while (ok && pa_context_get_state(c) != PA_CONTEXT_READY) {
        ok = PA_CONTEXT_IS_GOOD(pa_context_get_state(c))
            && pa_mainloop_iterate(loop, 1, nullptr) >= 0;
    }
    if (ok) {
        listing.pending = 2;
        pa_operation_unref(pa_context_get_server_info(c, onServerInfo, &listing));
        pa_operation_unref(pa_context_get_source_info_list(c, onListedSource, &listing));
        while (ok && listing.pending > 0)
            ok = PA_CONTEXT_IS_GOOD(pa_context_get_state(c))
                && pa_mainloop_iterate(loop, 1, nullptr) >= 0;
    }
    if (!ok || listing.failed)
        *error = noServer(c);
    for (std::size_t i = 0; i < sources->size(); ++i) {
        SourceInfo& s = (*sources)[i];
        s.isDefault = s.name == listing.defaultSource;
        s.isCaptured = !listing.defaultSink.empty() && listing.monitored[i] == listing.defaultSink;
    }
    pa_context_disconnect(c);
    pa_context_unref(c);
    pa_mainloop_free(loop);
    return ok && !listing.failed;
}

} // namespace capture
