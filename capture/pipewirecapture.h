// CaptureSource as a native PipeWire client (libpipewire-0.3), on a thread loop of its own.
//
// The capture stream is an input node that no session manager connects: the capture links it
// itself, port by port, to what it takes (an output's monitor ports, an input's ports, or every
// stream of one application), so a session manager's policy can neither move it nor hand it a
// microphone, and a restarted session manager leaves its links alone. Links from an output are
// passive: they do not keep an output that plays nothing awake, so it suspends as it would
// without the capture. The stream is marked as a capture of an output (stream.capture.sink) and a
// virtual node, which desktops do not take for a recording. All PipeWire objects live on the
// loop's thread; other threads touch them only under the loop's lock.
#ifndef CAPTURE_PIPEWIRECAPTURE_H
#define CAPTURE_PIPEWIRECAPTURE_H

#include "capture/capturesource.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct pw_context;
struct pw_core;
struct pw_registry;
struct pw_metadata;
struct pw_proxy;
struct pw_stream;
struct pw_thread_loop;
struct spa_source;
struct spa_hook;
struct spa_dict;
struct spa_pod;

namespace capture {

// Channels the capture stream takes: the source's two, whatever it has (a mono source feeds both).
constexpr int kPipeWireChannels = 2;
// The rate asked for when the captured node does not say its own.
constexpr int kPipeWireDefaultRateHz = 48000;
// How often the heard output's latency is asked for: it changes with a Bluetooth codec.
constexpr int kLatencyPollMs = 1000;
// The ring holds this much audio; more backlog than that is dropped.
constexpr int kPipeWireRingMs = 500;
// Frames of silence written in one go for a buffer that came without data.
constexpr int kPipeWireSilenceFrames = 256;

class PipeWireCapture final : public CaptureSource {
public:
    explicit PipeWireCapture(std::string appName);
    ~PipeWireCapture() override;
    PipeWireCapture(const PipeWireCapture&) = delete;
    PipeWireCapture& operator=(const PipeWireCapture&) = delete;

    // Whether a PipeWire daemon answers here (the automatic choice of back end asks).
    static bool daemonAnswers();

    bool start(const std::string& source, std::string* error) override;
    void stop() override;
    int sampleRate() const override { return rate_; }
    SampleRing& ring() override { return *ring_; }
    Status status() const override;
    bool listSources(std::vector<SourceInfo>* sources, std::string* error) override;

    struct Node {
        std::string name;
        std::string description;
        std::string mediaClass;
        std::string application;
        std::string binary;
        int rateHz = 0;
        int channels = 0;
    };
    struct Port {
        std::uint32_t node = 0;
        bool output = false;
        bool monitor = false;
        std::string channel;
    };

    // Loop thread only: the calls of the PipeWire listeners.
    void onGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void onGlobalRemoved(std::uint32_t id);
    void onDefault(const char* key, const char* value);
    void onCoreDone(std::uint32_t id, int seq);
    void onCoreError(std::uint32_t id, int res, const char* message);
    void onStreamState(int state, const char* error);
    void askLatency();
    void onLatency(const struct spa_pod* param);
    void onProcess();
    void onTimer();

private:
    struct Hooks;

    bool connectCore(std::string* error, bool withStream);
    bool createStream();
    void dropStream();
    // Whether what is asked for is an output's sound (or may be, while absent).
    bool wantsPassive() const;
    void dropCore();
    // Finds what wanted_ names now, links it, and says where the capture stands.
    void relink();
    std::vector<std::uint32_t> targets() const;
    // Watches the latency that the output heard now reports, or none (SPA_ID_INVALID).
    void watchLatencyOf(std::uint32_t node);
    void lost(const std::string& reason);
    void deferLoss(const std::string& reason);
    std::string absentLine() const;
    // The output whose latency a listener hears behind what is taken: the output itself, or for
    // an application the default output.
    std::uint32_t heardOutput(const std::vector<std::uint32_t>& taken) const;

    std::string appName_;
    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    pw_registry* registry_ = nullptr;
    pw_metadata* metadata_ = nullptr;
    pw_stream* stream_ = nullptr;
    pw_proxy* latencyNode_ = nullptr;
    std::uint32_t latencyNodeId_ = 0xffffffffu;
    spa_source* timer_ = nullptr;
    spa_source* latencyTimer_ = nullptr;
    std::unique_ptr<Hooks> hooks_;
    std::unique_ptr<SampleRing> ring_;
    int rate_ = 0;

    // Loop thread only, or under the loop's lock.
    std::map<std::uint32_t, Node> nodes_;
    std::map<std::uint32_t, Port> ports_;
    std::uint32_t metadataId_ = 0;
    std::map<std::pair<std::uint32_t, std::uint32_t>, pw_proxy*> links_;
    std::string defaultOutput_;
    std::string defaultInput_;
    std::string wanted_;
    std::string current_;
    std::string problem_;
    std::string lossReason_;
    Link link_ = Link::Stopped;
    int syncSeq_ = -1;
    bool synced_ = false;
    bool streamReady_ = false;
    bool withStream_ = false;
    bool passive_ = true;
    bool remake_ = false;
    std::string startError_;
    int retryMs_ = kRetryFirstMs;
    int pendingRetryMs_ = 0;
    int failedAttempts_ = 0;
    int reconnects_ = 0;
    int moves_ = 0;
    bool everConnected_ = false;

    std::atomic<std::uint64_t> captured_ { 0 };
    std::atomic<double> outputLatencySec_ { 0.0 };
};

} // namespace capture

#endif
