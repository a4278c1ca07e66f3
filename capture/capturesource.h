// Live capture of what the computer plays (or of a microphone), as mono samples in a ring that a
// display thread drains.
//
// Contract: a CaptureSource captures one source at a time on its own thread. start() connects and
// returns once audio flows, or returns false with one line saying what is wrong and how to fix it.
// From then on the source keeps going by itself: when the server goes away it reports Reconnecting,
// leaves the ring to run dry and tries again with growing pauses. A capture of what the computer
// plays follows the default output wherever it goes; a source or application named by the user
// is never replaced by another: while it is absent (at start too) the capture reports Waiting,
// the ring runs dry, and it joins the source when it appears (sourceAfterDefaultChange(), every
// backend's rule). Above all a capture never falls back to a microphone.
// The sample rate chosen at start stays for the whole run (the server resamples a replacement
// source), so the consumer never re-configures. The ring, valid after a successful start, is the
// only thing the audio thread writes; status() may be called from any thread. Users see only this
// header, so a backend can be added (PipeWire native, Qt Multimedia) without touching them.
#ifndef CAPTURE_CAPTURESOURCE_H
#define CAPTURE_CAPTURESOURCE_H

#include "capture/samplering.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace capture {

// The monitor of the default output: what the computer is playing.
constexpr const char* kDefaultMonitor = "@DEFAULT_MONITOR@";
// A source name led by this names an application ("app:NAME"): what it plays, all its streams.
constexpr const char* kApplicationPrefix = "app:";

enum class Backend {
    // PipeWire where its daemon answers, else PulseAudio.
    Automatic,
    PipeWire,
    Pulse,
};
// Reads "pipewire" or "pulse"; false for anything else.
bool parseBackend(const std::string& text, Backend* backend);

struct SourceInfo {
    std::string name;
    std::string description;
    int rateHz = 0;
    int channels = 0;
    // The server's default input.
    bool isDefault = false;
    // A monitor of an output (what plays there), as opposed to a microphone or line input.
    bool isMonitor = false;
    // The monitor of the default output: what a capture without a source name takes. On
    // PipeWire the default input is often a microphone, so this is not isDefault.
    bool isCaptured = false;
    // The default output (on PipeWire an output is captured by its own name).
    bool isDefaultOutput = false;
    // An application playing now; name is then what follows kApplicationPrefix.
    bool isApplication = false;
};

// Pauses between reconnection attempts: the first, and the longest the doubling reaches.
constexpr int kRetryFirstMs = 100;
constexpr int kRetryLongestMs = 1000;

enum class Link {
    Streaming,
    // The server or the source went away; the ring runs dry while the source tries again.
    Reconnecting,
    // The source or application named by the user is absent; the ring runs dry until it appears.
    Waiting,
    Stopped,
};

struct Status {
    Link link = Link::Stopped;
    // The source captured now (after any move); the one asked for while reconnecting.
    std::string source;
    // What the server holds before the samples reach the ring, in seconds.
    double latencySec = 0.0;
    // How long the captured output takes to play what it is given, as its server reports it (a
    // Bluetooth output: 0.1 to 0.3 s): how far a picture must wait to show what is heard. 0 for
    // an input, and where the server does not say.
    double outputLatencySec = 0.0;
    std::uint64_t capturedSamples = 0;
    // Samples the ring had no room for.
    std::uint64_t droppedSamples = 0;
    // Times the stream came back after the server or the source went away, and times it moved to
    // another source: moved by the server, or following the default output.
    int reconnects = 0;
    int moves = 0;
    // While reconnecting, the pause before the next attempt: it doubles from kRetryFirstMs up to
    // kRetryLongestMs, and starts again from kRetryFirstMs after each reconnect. 0 otherwise.
    int retryMs = 0;
    // Attempts that failed since the stream went away.
    int failedAttempts = 0;
    // Why the stream last went away, or what is awaited; empty if neither.
    std::string problem;
};

class CaptureSource {
public:
    virtual ~CaptureSource() = default;

    // Begins capturing source, a name from listSources() or kDefaultMonitor. On failure returns
    // false and sets *error to one line naming the problem and the fix.
    virtual bool start(const std::string& source, std::string* error) = 0;
    // Stops capturing and disconnects; the ring keeps what it holds. Safe to call twice.
    virtual void stop() = 0;

    // The rate of the samples in the ring, fixed by start().
    virtual int sampleRate() const = 0;
    virtual SampleRing& ring() = 0;
    virtual Status status() const = 0;

    // The sources the server offers. On failure returns false and sets *error as start() does.
    virtual bool listSources(std::vector<SourceInfo>* sources, std::string* error) = 0;
};

// Where a capture asked for wanted (a source's name, or kDefaultMonitor) goes when the default
// output changes to one whose monitor is defaultMonitor, while it captures current: what the
// computer plays follows the default output, a source the user named never moves. Empty where the
// capture stays.
std::string sourceAfterDefaultChange(
    const std::string& wanted, const std::string& current, const std::string& defaultMonitor);

// The backend for this system, or the one asked for. appName, the program's name, is what the
// sound server shows for the stream's client, and the program that the lines say lists sources.
std::unique_ptr<CaptureSource> createCaptureSource(
    const std::string& appName, Backend backend = Backend::Automatic);

// Test seam: when set, called on the audio thread on entry (true) and exit (false) of every
// callback that delivers audio, so a test can watch what happens inside it. Set it before start().
using CallbackProbe = void (*)(bool entering);
void setCallbackProbe(CallbackProbe probe);
// The probe set, for the back ends' callbacks; null when none.
CallbackProbe callbackProbe();

} // namespace capture

#endif
