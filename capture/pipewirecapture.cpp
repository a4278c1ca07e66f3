#include "capture/pipewirecapture.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace capture {

namespace {

    constexpr const char* kMonitorSuffix = ".monitor";
    constexpr const char* kDaemonFix = "start PipeWire (with WirePlumber), or choose "
                                       "--capture-backend pulse";
    // How long start() waits for the daemon to tell what it has.
    constexpr int kStartTimeoutMs = 5000;

    void initOnce()
    {
        static std::once_flag once;
        std::call_once(once, [] { pw_init(nullptr, nullptr); });
    }

    std::string text(const spa_dict* props, const char* key)
    {
        const char* v = props ? spa_dict_lookup(props, key) : nullptr;
        return v ? v : "";
    }

    int number(const spa_dict* props, const char* key)
    {
        const std::string v = text(props, key);
        return v.empty() ? 0 : std::atoi(v.c_str());
    }

    bool sameIgnoringCase(const std::string& a, const std::string& b)
    {
        return a.size() == b.size()
            && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x))
                       == std::tolower(static_cast<unsigned char>(y));
               });
    }

    // The node name in a default-node metadata value: { "name": "vis_out" }.
    std::string nameInJson(const char* value)
    {
        const std::string v = value ? value : "";
        std::size_t at = v.find("\"name\"");
        if (at == std::string::npos || (at = v.find(':', at)) == std::string::npos
            || (at = v.find('"', at)) == std::string::npos)
            return {};
        const std::size_t end = v.find('"', at + 1);
        return end == std::string::npos ? std::string() : v.substr(at + 1, end - at - 1);
    }

    bool isOutput(const PipeWireCapture::Node& n)
    {
        return n.mediaClass == "Audio/Sink";
    }
    bool isInput(const PipeWireCapture::Node& n)
    {
        return n.mediaClass.rfind("Audio/Source", 0) == 0;
    }
    bool isPlayingStream(const PipeWireCapture::Node& n)
    {
        return n.mediaClass == "Stream/Output/Audio";
    }
    std::string applicationOf(const PipeWireCapture::Node& n)
    {
        return n.application.empty() ? n.binary : n.application;
    }

    // Which of the capture's two channels a source channel feeds: left, right or both (-1).
    int sideOf(const std::string& channel)
    {
        for (const char* left : { "FL", "RL", "SL", "FLC", "FLW", "TFL", "TRL" })
            if (channel == left)
                return 0;
        for (const char* right : { "FR", "RR", "SR", "FRC", "FRW", "TFR", "TRR" })
            if (channel == right)
                return 1;
        return -1;
    }

    constexpr float kSilence[kPipeWireSilenceFrames * kPipeWireChannels] = {};

    int clampRate(int rate)
    {
        // The analysis covers 8 to 192 kHz; PipeWire resamples a node outside that.
        return std::clamp(rate > 0 ? rate : kPipeWireDefaultRateHz, 8000, 192000);
    }

} // namespace

// The listeners PipeWire calls back, each handing the call to the capture.
struct PipeWireCapture::Hooks {
    spa_hook core {};
    spa_hook registry {};
    spa_hook metadata {};
    spa_hook stream {};
    spa_hook latency {};
    pw_core_events coreEvents {};
    pw_registry_events registryEvents {};
    pw_metadata_events metadataEvents {};
    pw_stream_events streamEvents {};
    pw_node_events nodeEvents {};

    explicit Hooks()
    {
        coreEvents.version = PW_VERSION_CORE_EVENTS;
        coreEvents.done = [](void* self, std::uint32_t id, int seq) {
            static_cast<PipeWireCapture*>(self)->onCoreDone(id, seq);
        };
        coreEvents.error = [](void* self, std::uint32_t id, int, int res, const char* message) {
            static_cast<PipeWireCapture*>(self)->onCoreError(id, res, message);
        };
        registryEvents.version = PW_VERSION_REGISTRY_EVENTS;
        registryEvents.global = [](void* self, std::uint32_t id, std::uint32_t, const char* type,
                                    std::uint32_t, const spa_dict* props) {
            static_cast<PipeWireCapture*>(self)->onGlobal(id, type, props);
        };
        registryEvents.global_remove = [](void* self, std::uint32_t id) {
            static_cast<PipeWireCapture*>(self)->onGlobalRemoved(id);
        };
        metadataEvents.version = PW_VERSION_METADATA_EVENTS;
        metadataEvents.property = [](void* self, std::uint32_t subject, const char* key,
                                      const char*, const char* value) {
            if (subject == PW_ID_CORE)
                static_cast<PipeWireCapture*>(self)->onDefault(key, value);
            return 0;
        };
        streamEvents.version = PW_VERSION_STREAM_EVENTS;
        streamEvents.state_changed
            = [](void* self, pw_stream_state, pw_stream_state state, const char* error) {
                  static_cast<PipeWireCapture*>(self)->onStreamState(state, error);
              };
        streamEvents.process = [](void* self) { static_cast<PipeWireCapture*>(self)->onProcess(); };
        nodeEvents.version = PW_VERSION_NODE_EVENTS;
        nodeEvents.info = [](void* self, const pw_node_info* info) {
            if (info->change_mask & PW_NODE_CHANGE_MASK_PARAMS)
                static_cast<PipeWireCapture*>(self)->askLatency();
        };
        nodeEvents.param = [](void* self, int, std::uint32_t id, std::uint32_t, std::uint32_t,
                               const spa_pod* param) {
            if (id == SPA_PARAM_ProcessLatency)
                static_cast<PipeWireCapture*>(self)->onLatency(param);
        };
    }
};

bool PipeWireCapture::daemonAnswers()
{
    initOnce();
    pw_main_loop* loop = pw_main_loop_new(nullptr);
    if (!loop)
        return false;
    pw_context* context = pw_context_new(pw_main_loop_get_loop(loop), nullptr, 0);
    pw_core* core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
    const bool answers = core != nullptr;
    if (core)
        pw_core_disconnect(core);
    if (context)
        pw_context_destroy(context);
    pw_main_loop_destroy(loop);
    return answers;
}

PipeWireCapture::PipeWireCapture(std::string appName)
    : appName_(std::move(appName))
    , hooks_(std::make_unique<Hooks>())
{
    initOnce();
}

PipeWireCapture::~PipeWireCapture()
{
    stop();
}

bool PipeWireCapture::start(const std::string& source, std::string* error)
{
    if (loop_) {
        *error = "capture already started";
        return false;
    }
    loop_ = pw_thread_loop_new("capture", nullptr);
    if (!loop_ || pw_thread_loop_start(loop_) < 0) {
        *error = "cannot start the capture thread";
        stop();
        return false;
    }
    pw_thread_loop_lock(loop_);
    wanted_ = source.empty() ? kDefaultMonitor : source;
    timer_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(loop_),
        [](void* self, std::uint64_t) { static_cast<PipeWireCapture*>(self)->onTimer(); }, this);
    latencyTimer_ = pw_loop_add_timer(
        pw_thread_loop_get_loop(loop_),
        [](void* self, std::uint64_t) { static_cast<PipeWireCapture*>(self)->askLatency(); }, this);
    timespec every { kLatencyPollMs / 1000, (kLatencyPollMs % 1000) * 1000000L };
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), latencyTimer_, &every, &every, false);
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    bool ok = context_ && connectCore(error, true);
    // The first round trip brings every node, port and default; then the stream has its ports.
    timespec deadline;
    pw_thread_loop_get_time(loop_, &deadline, kStartTimeoutMs * SPA_NSEC_PER_MSEC);
    while (ok && startError_.empty() && !(synced_ && streamReady_)) {
        if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0)
            startError_ = "PipeWire did not answer within 5 s: " + std::string(kDaemonFix);
    }
    if (ok && !startError_.empty()) {
        *error = startError_;
        ok = false;
    }
    if (ok)
        relink();
    pw_thread_loop_unlock(loop_);
    if (!ok)
        stop();
    return ok;
}

bool PipeWireCapture::connectCore(std::string* error, bool withStream)
{
    core_ = pw_context_connect(context_, nullptr, 0);
    if (!core_) {
        *error = std::string("no PipeWire to capture from (") + std::strerror(errno)
            + "): " + kDaemonFix;
        return false;
    }
    pw_core_add_listener(core_, &hooks_->core, &hooks_->coreEvents, this);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry_, &hooks_->registry, &hooks_->registryEvents, this);
    synced_ = false;
    streamReady_ = false;
    withStream_ = withStream;
    syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
    if (rate_ == 0)
        rate_ = clampRate(0);
    if (!ring_)
        ring_ = std::make_unique<SampleRing>(rate_ * kPipeWireRingMs / 1000, kPipeWireChannels);
    return true;
}

bool PipeWireCapture::wantsPassive() const
{
    if (wanted_.rfind(kApplicationPrefix, 0) == 0)
        return false;
    for (const auto& [id, n] : nodes_)
        if (isInput(n) && n.name == wanted_)
            return false;
    return true;
}

// Made once the first round trip says what is asked for: an output's sound is there whether or
// not it is captured, so a capture of an output is a passive node, which keeps no output awake (a
// passive link alone does so only on older PipeWire); an input or an application is captured
// only while it runs anyway, so there the node is active and runs a microphone that nobody else
// records.
bool PipeWireCapture::createStream()
{
    passive_ = wantsPassive();
    const std::string name = appName_ + " capture";
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
        "Capture", PW_KEY_MEDIA_ROLE, "Music", PW_KEY_APP_NAME, appName_.c_str(), PW_KEY_NODE_NAME,
        name.c_str(), PW_KEY_NODE_DESCRIPTION, name.c_str(),
        // No session manager links it: the capture links what it takes itself.
        PW_KEY_NODE_AUTOCONNECT, "false", PW_KEY_STREAM_CAPTURE_SINK, "true", PW_KEY_NODE_VIRTUAL,
        "true", PW_KEY_NODE_PASSIVE, passive_ ? "true" : "false", nullptr);
    stream_ = pw_stream_new(core_, name.c_str(), props);
    if (!stream_)
        return false;
    pw_stream_add_listener(stream_, &hooks_->stream, &hooks_->streamEvents, this);
    spa_audio_info_raw format {};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = static_cast<std::uint32_t>(rate_);
    format.channels = kPipeWireChannels;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    std::uint8_t buffer[1024];
    spa_pod_builder b {};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[1] = { spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &format) };
    const auto flags
        = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) >= 0;
}

void PipeWireCapture::dropStream()
{
    if (stream_) {
        spa_hook_remove(&hooks_->stream);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
    }
    for (auto& [ports, proxy] : links_)
        pw_proxy_destroy(proxy);
    links_.clear();
    streamReady_ = false;
}

void PipeWireCapture::stop()
{
    if (!loop_)
        return;
    pw_thread_loop_lock(loop_);
    dropCore();
    for (spa_source** t : { &timer_, &latencyTimer_ }) {
        if (*t)
            pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), *t);
        *t = nullptr;
    }
    if (context_)
        pw_context_destroy(context_);
    context_ = nullptr;
    link_ = Link::Stopped;
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
    pw_thread_loop_destroy(loop_);
    loop_ = nullptr;
}

void PipeWireCapture::dropCore()
{
    dropStream();
    watchLatencyOf(SPA_ID_INVALID);
    if (metadata_) {
        spa_hook_remove(&hooks_->metadata);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata_));
        metadata_ = nullptr;
    }
    if (registry_) {
        spa_hook_remove(&hooks_->registry);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
        registry_ = nullptr;
    }
    if (core_) {
        spa_hook_remove(&hooks_->core);
        pw_core_disconnect(core_);
        core_ = nullptr;
    }
    nodes_.clear();
    ports_.clear();
    streamReady_ = false;
}

Status PipeWireCapture::status() const
{
    Status s;
    if (loop_)
        pw_thread_loop_lock(loop_);
    s.link = link_;
    s.source = link_ == Link::Streaming ? current_ : wanted_;
    s.reconnects = reconnects_;
    s.moves = moves_;
    s.retryMs = link_ == Link::Reconnecting ? pendingRetryMs_ : 0;
    s.failedAttempts = link_ == Link::Reconnecting ? failedAttempts_ : 0;
    s.problem = problem_;
    if (loop_)
        pw_thread_loop_unlock(loop_);
    s.capturedSamples = captured_.load(std::memory_order_relaxed);
    s.droppedSamples = ring_ ? ring_->dropped() : 0;
    s.outputLatencySec = outputLatencySec_.load(std::memory_order_relaxed);
    return s;
}

void PipeWireCapture::onGlobal(std::uint32_t id, const char* type, const spa_dict* props)
{
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        Node n;
        n.name = text(props, PW_KEY_NODE_NAME);
        n.description = text(props, PW_KEY_NODE_DESCRIPTION);
        n.mediaClass = text(props, PW_KEY_MEDIA_CLASS);
        n.application = text(props, PW_KEY_APP_NAME);
        n.binary = text(props, PW_KEY_APP_PROCESS_BINARY);
        n.rateHz = number(props, "audio.rate");
        n.channels = number(props, "audio.channels");
        nodes_[id] = n;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        Port p;
        p.node = static_cast<std::uint32_t>(number(props, PW_KEY_NODE_ID));
        p.output = text(props, PW_KEY_PORT_DIRECTION) == "out";
        p.monitor = text(props, PW_KEY_PORT_MONITOR) == "true";
        p.channel = text(props, PW_KEY_AUDIO_CHANNEL);
        ports_[id] = p;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0 && !metadata_
        && text(props, PW_KEY_METADATA_NAME) == "default") {
        metadata_ = static_cast<pw_metadata*>(
            pw_registry_bind(registry_, id, type, PW_VERSION_METADATA, 0));
        metadataId_ = id;
        pw_metadata_add_listener(metadata_, &hooks_->metadata, &hooks_->metadataEvents, this);
    } else {
        return;
    }
    if (synced_)
        relink();
}

void PipeWireCapture::onGlobalRemoved(std::uint32_t id)
{
    if (metadata_ && id == metadataId_) {
        // The session manager went away; its successor publishes the defaults anew.
        spa_hook_remove(&hooks_->metadata);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata_));
        metadata_ = nullptr;
        return;
    }
    if (nodes_.erase(id) + ports_.erase(id) > 0 && synced_)
        relink();
}

void PipeWireCapture::onDefault(const char* key, const char* value)
{
    if (!key)
        return;
    if (std::strcmp(key, "default.audio.sink") == 0)
        defaultOutput_ = nameInJson(value);
    else if (std::strcmp(key, "default.audio.source") == 0)
        defaultInput_ = nameInJson(value);
    else
        return;
    if (synced_)
        relink();
}

void PipeWireCapture::onCoreDone(std::uint32_t id, int seq)
{
    if (id != PW_ID_CORE || seq != syncSeq_ || synced_)
        return;
    synced_ = true;
    if (withStream_ && !stream_ && !createStream())
        deferLoss("cannot create a PipeWire capture stream");
    pw_thread_loop_signal(loop_, false);
}

void PipeWireCapture::onCoreError(std::uint32_t id, int res, const char* message)
{
    // Errors of single objects (a link refused) leave the connection as it is.
    if (id != PW_ID_CORE || res != -EPIPE)
        return;
    if (link_ == Link::Stopped && !everConnected_) {
        startError_ = std::string("PipeWire closed the connection (") + (message ? message : "")
            + "): " + kDaemonFix;
        pw_thread_loop_signal(loop_, false);
        return;
    }
    deferLoss("PipeWire went away");
}

// Destroying the core or the stream inside their own callbacks is not allowed: the loss is
// handled on the next turn of the loop.
void PipeWireCapture::deferLoss(const std::string& reason)
{
    lossReason_ = reason;
    timespec now { 0, 1 };
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &now, nullptr, false);
}

void PipeWireCapture::onStreamState(int state, const char* error)
{
    if (state == PW_STREAM_STATE_ERROR) {
        deferLoss(std::string("the capture stream failed: ") + (error ? error : "unknown error"));
        return;
    }
    if ((state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) && !streamReady_) {
        streamReady_ = true;
        if (synced_)
            relink();
        pw_thread_loop_signal(loop_, false);
    }
}

std::vector<std::uint32_t> PipeWireCapture::targets() const
{
    std::vector<std::uint32_t> found;
    const std::string prefix = kApplicationPrefix;
    const bool application = wanted_.rfind(prefix, 0) == 0;
    const std::string name = wanted_ == kDefaultMonitor ? defaultOutput_
        : application                                   ? wanted_.substr(prefix.size())
                                                        : wanted_;
    for (const auto& [id, n] : nodes_) {
        const bool match = application ? isPlayingStream(n)
                && (sameIgnoringCase(n.application, name) || sameIgnoringCase(n.binary, name))
                                       : !name.empty()
                && ((isInput(n) && n.name == name)
                    // An output by its own name, or by the name PulseAudio gives its monitor, as
                    // scripts written for pipewire-pulse know it.
                    || (isOutput(n) && (n.name == name || n.name + kMonitorSuffix == name)));
        if (match)
            found.push_back(id);
    }
    return found;
}

void PipeWireCapture::relink()
{
    if (!stream_ || !streamReady_ || !synced_)
        return;
    if (passive_ != wantsPassive()) {
        // An absent source turned out to be an input, or the other way round: the stream is made
        // again, on the loop's next turn, as its own callbacks may be what called here.
        remake_ = true;
        timespec now { 0, 1 };
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &now, nullptr, false);
        return;
    }
    const std::uint32_t self = pw_stream_get_node_id(stream_);
    const std::vector<std::uint32_t> nodes = targets();
    std::set<std::pair<std::uint32_t, std::uint32_t>> wanted;
    for (const auto& [outId, out] : ports_) {
        const auto node = nodes_.find(out.node);
        if (!out.output || node == nodes_.end()
            || std::find(nodes.begin(), nodes.end(), out.node) == nodes.end()
            || (isOutput(node->second) && !out.monitor))
            continue;
        for (const auto& [inId, in] : ports_) {
            const int side = sideOf(out.channel);
            if (in.node == self && !in.output && (side < 0 || side == sideOf(in.channel)))
                wanted.insert({ outId, inId });
        }
    }
    for (auto it = links_.begin(); it != links_.end();) {
        if (wanted.count(it->first) == 0) {
            pw_proxy_destroy(it->second);
            it = links_.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& ports : wanted) {
        if (links_.count(ports))
            continue;
        const Node& from = nodes_[ports_[ports.first].node];
        pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", ports_[ports.first].node);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", ports.first);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", self);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", ports.second);
        // An output's sound is there whether or not it is captured: the capture must not keep
        // it from suspending. An input or an application is captured only when it runs anyway.
        pw_properties_set(props, PW_KEY_LINK_PASSIVE, isOutput(from) ? "true" : "false");
        links_[ports] = static_cast<pw_proxy*>(pw_core_create_object(
            core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
    }

    const std::string now = nodes.empty()           ? std::string()
        : wanted_.rfind(kApplicationPrefix, 0) == 0 ? wanted_
                                                    : nodes_[nodes.front()].name;
    if (!now.empty() && !current_.empty() && now != current_)
        ++moves_;
    if (!now.empty())
        current_ = now;
    // Back once the daemon answers again, whether or not what is asked for is there yet.
    if (link_ == Link::Reconnecting)
        ++reconnects_;
    watchLatencyOf(heardOutput(nodes));
    everConnected_ = true;
    if (nodes.empty()) {
        problem_ = absentLine();
        link_ = Link::Waiting;
    } else {
        link_ = Link::Streaming;
    }
}

std::uint32_t PipeWireCapture::heardOutput(const std::vector<std::uint32_t>& taken) const
{
    // An application is heard on the default output (where a session manager sends it).
    const std::string name = wanted_.rfind(kApplicationPrefix, 0) == 0 ? defaultOutput_
        : taken.empty()                                                ? std::string()
                        : nodes_.at(taken.front()).name;
    for (const auto& [id, n] : nodes_)
        if (isOutput(n) && n.name == name)
            return id;
    return SPA_ID_INVALID;
}

void PipeWireCapture::watchLatencyOf(std::uint32_t node)
{
    if (node == latencyNodeId_)
        return;
    if (latencyNode_) {
        spa_hook_remove(&hooks_->latency);
        pw_proxy_destroy(latencyNode_);
        latencyNode_ = nullptr;
    }
    latencyNodeId_ = node;
    outputLatencySec_.store(0.0, std::memory_order_relaxed);
    if (node == SPA_ID_INVALID || !registry_)
        return;
    auto* proxy = static_cast<pw_node*>(
        pw_registry_bind(registry_, node, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (!proxy)
        return;
    latencyNode_ = reinterpret_cast<pw_proxy*>(proxy);
    pw_node_add_listener(proxy, &hooks_->latency, &hooks_->nodeEvents, this);
}

// Asked on binding, whenever the node says its parameters changed, and every kLatencyPollMs: a
// node that lets its latency be set but neither flags it readable nor says it changed (an output
// made by a client) sends nothing to a subscriber, yet answers when asked.
void PipeWireCapture::askLatency()
{
    if (latencyNode_)
        pw_node_enum_params(
            reinterpret_cast<pw_node*>(latencyNode_), 0, SPA_PARAM_ProcessLatency, 0, 0, nullptr);
}

// What the output adds between being given a sample and playing it, as the node reports it: a
// Bluetooth output its codec and transport, an output in front of a delay its delay.
void PipeWireCapture::onLatency(const spa_pod* param)
{
    spa_process_latency_info info;
    if (!param || spa_process_latency_parse(param, &info) < 0)
        return;

    const double sec = static_cast<double>(info.ns) / SPA_NSEC_PER_SEC
        + static_cast<double>(info.rate) / std::max(rate_, 1);
    outputLatencySec_.store(sec, std::memory_order_relaxed);
}

std::string PipeWireCapture::absentLine() const
{
    const std::string prefix = kApplicationPrefix;
    if (wanted_ == kDefaultMonitor)
        return "there is no default output";
    if (wanted_.rfind(prefix, 0) == 0)
        return "application '" + wanted_.substr(prefix.size()) + "' plays nothing now";
    return "source '" + wanted_ + "' is absent (" + appName_ + " --list-sources lists them)";
}

// The audio path: copies what arrived into the ring, left and right as they came, and nothing
// else. It never allocates, locks or analyses.
void PipeWireCapture::onProcess()
{
    const CallbackProbe watch = callbackProbe();
    if (watch)
        watch(true);
    pw_buffer* b = pw_stream_dequeue_buffer(stream_);
    if (b) {
        const spa_data& d = b->buffer->datas[0];
        const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
        const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
        const auto* in = d.data
            ? reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + offset)
            : nullptr;
        const int frames = static_cast<int>(size / (sizeof(float) * kPipeWireChannels));
        captured_.fetch_add(static_cast<std::uint64_t>(frames), std::memory_order_relaxed);
        if (in)
            ring_->write(in, frames);
        // A buffer without data is a hole in the stream: silence.
        for (int left = in ? 0 : frames; left > 0; left -= kPipeWireSilenceFrames)
            ring_->write(kSilence, std::min(left, kPipeWireSilenceFrames));
        pw_stream_queue_buffer(stream_, b);
    }
    if (watch)
        watch(false);
}

void PipeWireCapture::lost(const std::string& reason)
{
    dropCore();
    if (link_ != Link::Reconnecting)
        problem_ = reason;
    failedAttempts_ = link_ == Link::Reconnecting ? failedAttempts_ + 1 : 0;
    link_ = Link::Reconnecting;
    pendingRetryMs_ = retryMs_;
    timespec pause { retryMs_ / 1000, (retryMs_ % 1000) * 1000000L };
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_), timer_, &pause, nullptr, false);
    retryMs_ = std::min(retryMs_ * 2, kRetryLongestMs);
}

void PipeWireCapture::onTimer()
{
    if (!lossReason_.empty()) {
        const std::string reason = lossReason_;
        lossReason_.clear();
        lost(reason);
        return;
    }
    if (remake_) {
        remake_ = false;
        dropStream();
        if (!createStream())
            lost("cannot create a PipeWire capture stream");
        return;
    }
    if (link_ != Link::Reconnecting)
        return;
    // Still reconnecting until the first round trip is done and the stream has its ports: then
    // relink() says where the capture stands.
    std::string why;
    if (connectCore(&why, true))
        retryMs_ = kRetryFirstMs;
    else
        lost(problem_);
}

bool PipeWireCapture::listSources(std::vector<SourceInfo>* sources, std::string* error)
{
    // The capture's own listeners fill a second instance that never streams.
    sources->clear();
    PipeWireCapture probe(appName_);
    probe.loop_ = pw_thread_loop_new("list", nullptr);
    if (!probe.loop_ || pw_thread_loop_start(probe.loop_) < 0) {
        *error = "cannot start the capture thread";
        return false;
    }
    pw_thread_loop_lock(probe.loop_);
    probe.wanted_ = kDefaultMonitor;
    probe.context_ = pw_context_new(pw_thread_loop_get_loop(probe.loop_), nullptr, 0);
    bool ok = probe.context_ && probe.connectCore(error, false);
    timespec deadline;
    pw_thread_loop_get_time(probe.loop_, &deadline, kStartTimeoutMs * SPA_NSEC_PER_MSEC);
    // Two round trips: the first brings the metadata object, the second its properties.
    for (int round = 0; ok && round < 2; ++round) {
        probe.synced_ = false;
        probe.syncSeq_ = pw_core_sync(probe.core_, PW_ID_CORE, probe.syncSeq_);
        while (ok && !probe.synced_ && probe.startError_.empty())
            ok = pw_thread_loop_timed_wait_full(probe.loop_, &deadline) == 0;
    }
    if (!ok && error->empty())
        *error = "PipeWire did not answer within 5 s: " + std::string(kDaemonFix);
    std::set<std::string> applications;
    for (const auto& [id, n] : probe.nodes_) {
        SourceInfo s;
        s.description = n.description;
        s.rateHz = n.rateHz;
        s.channels = n.channels;
        if (isOutput(n)) {
            s.name = n.name;
            s.isMonitor = true;
            s.isDefaultOutput = n.name == probe.defaultOutput_;
            s.isCaptured = s.isDefaultOutput;
        } else if (isInput(n)) {
            s.name = n.name;
            s.isDefault = n.name == probe.defaultInput_;
        } else if (isPlayingStream(n) && !applicationOf(n).empty()
            && applications.insert(applicationOf(n)).second) {
            s.name = kApplicationPrefix + applicationOf(n);
            s.description = n.binary;
            s.isApplication = true;
        } else {
            continue;
        }
        sources->push_back(s);
    }
    pw_thread_loop_unlock(probe.loop_);
    return ok;
}

} // namespace capture
