// CaptureSource on libpulse's asynchronous API with a threaded main loop: serves PulseAudio and
// PipeWire (through pipewire-pulse). All pulse objects live on the main loop's thread; the other
// threads touch them only under the loop's lock.
#ifndef CAPTURE_PULSECAPTURE_H
#define CAPTURE_PULSECAPTURE_H

#include "capture/capturesource.h"

#include <atomic>
#include <memory>
#include <string>

struct pa_context;
struct pa_mainloop_api;
struct pa_server_info;
struct pa_source_info;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;

namespace capture {

// The ring's channels: the source's left and right (a mono source feeds both).
constexpr int kRingChannels = 2;
// Longest stretch of frames sorted into left and right in one go inside the read callback.
constexpr int kMixFrames = 1024;
// The ring holds this much audio; more backlog than that is dropped.
constexpr int kRingMs = 500;
// Fragments the server is asked to deliver.
constexpr int kFragmentMs = 10;
// How long start() waits for the server to answer.
constexpr int kStartTimeoutMs = 5000;

class PulseCapture final : public CaptureSource {
public:
    explicit PulseCapture(std::string appName);
    ~PulseCapture() override;
    PulseCapture(const PulseCapture&) = delete;
    PulseCapture& operator=(const PulseCapture&) = delete;

    bool start(const std::string& source, std::string* error) override;
    void stop() override;
    int sampleRate() const override { return rate_; }
    SampleRing& ring() override { return *ring_; }
    Status status() const override;
    bool listSources(std::vector<SourceInfo>* sources, std::string* error) override;

private:
    static void onContextState(pa_context* c, void* self);
    static void onSourceInfo(pa_context* c, const pa_source_info* info, int eol, void* self);
    static void onServerEvent(pa_context* c, unsigned event, void* self);
    static void onServerRate(pa_context* c, const pa_server_info* info, void* self);
    static void onDefaultMonitor(pa_context* c, const pa_source_info* info, int eol, void* self);
    static void onStreamState(pa_stream* s, void* self);
    static void onStreamMoved(pa_stream* s, void* self);
    static void onLatency(pa_stream* s, void* self);
    static void onRead(pa_stream* s, std::size_t bytes, void* self);
    static void onTimer(
        pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv, void* self);

    void connectContext();
    void lookUpSource();
    // Hears of changes to the server's defaults, so that the capture can follow the output, and
    // of new sources, so that a named one is joined when it appears.
    void watchServer();
    // Fixes the rate for the whole run and makes the ring, once.
    void fixRate(unsigned serverRate);
    void openStream(const pa_source_info& info);
    // The named source is absent (what says how it came to be): no stream until it appears.
    void awaitSource(const char* what);
    // start() may return: audio flows, or the named source is awaited.
    void started();
    void dropStream();
    void dropContext();
    // The server or the stream went away: fail start(), or try again after a pause.
    void lost(const std::string& reason);
    void retryIn(int ms);
    void failStart(const std::string& error);

    std::string appName_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* timer_ = nullptr;
    std::unique_ptr<SampleRing> ring_;
    int rate_ = 0;
    int streamChannels_ = 0;
    // The stream's channels that feed the ring's left and right.
    int leftChannel_ = 0;
    int rightChannel_ = 0;

    // Loop thread only, or under the loop's lock.
    bool starting_ = false;
    std::string startError_;
    std::string wanted_;
    std::string current_;
    std::string problem_;
    Link link_ = Link::Stopped;
    // The pause the next failure waits, and the one waited now.
    int retryMs_ = kRetryFirstMs;
    int pendingRetryMs_ = 0;
    int failedAttempts_ = 0;
    int reconnects_ = 0;
    int moves_ = 0;
    bool everStreamed_ = false;

    std::atomic<std::uint64_t> captured_ { 0 };
    std::atomic<double> latencySec_ { 0.0 };
    float pairs_[kMixFrames * kRingChannels];
};

} // namespace capture

#endif
