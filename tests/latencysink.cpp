// An output for the capture tests that says it takes LATENCY_MS to play what it is given, as a
// Bluetooth output does: a PipeWire node of class Audio/Sink named NAME that reports that
// ProcessLatency and throws away what it gets. A null output cannot be made to report one. It runs
// until killed.
//
//   latencysink NAME LATENCY_MS

#include <pipewire/filter.h>
#include <pipewire/pipewire.h>
#include <spa/param/latency-utils.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

constexpr std::int64_t kNsPerMs = 1000000;

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: latencysink NAME LATENCY_MS\n");
        return 2;
    }
    pw_init(&argc, &argv);
    pw_main_loop* loop = pw_main_loop_new(nullptr);
    static const pw_filter_events events = [] {
        pw_filter_events e {};
        e.version = PW_VERSION_FILTER_EVENTS;
        return e;
    }();
    pw_filter* sink = pw_filter_new_simple(pw_main_loop_get_loop(loop), argv[1],
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback",
            PW_KEY_MEDIA_CLASS, "Audio/Sink", PW_KEY_NODE_NAME, argv[1], nullptr),
        &events, nullptr);
    for (const char* port : { "playback_FL", "playback_FR" })
        pw_filter_add_port(sink, PW_DIRECTION_INPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
            pw_properties_new(
                PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, port, nullptr),
            nullptr, 0);
    std::uint8_t buffer[256];
    spa_pod_builder b {};
    spa_pod_builder_init(&b, buffer, sizeof(buffer));
    spa_process_latency_info latency {};
    latency.ns = static_cast<std::uint64_t>(std::atoll(argv[2]) * kNsPerMs);
    const spa_pod* params[] = { spa_process_latency_build(&b, SPA_PARAM_ProcessLatency, &latency) };
    if (pw_filter_connect(sink, PW_FILTER_FLAG_NONE, params, 1) < 0) {
        std::fprintf(stderr, "latencysink: cannot connect to PipeWire\n");
        return 1;
    }
    pw_main_loop_run(loop);
    return 0;
}
