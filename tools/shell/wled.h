// LED output for both programs: --wled[=HOST[:PORT]] and --wled-ttl N, read the same in both, and
// the frames' way from an analysis loop to the LED sender (led/).
//
// - Without a value --wled sends to the LED boards' multicast group and port (led::kDefaultGroup,
//   led::kDefaultPort); HOST is an IPv4 address or a name, PORT 1..65535.
// - --wled-ttl N (1..255) sets the multicast time-to-live (1 by default: the local network only);
//   it needs --wled.
// - One WledOutput sends for the whole run; each analysis loop gets a WledFrames of its own (its
//   rate and window may differ from track to track).
// - A WledFrames holds each packet back as long as the picture waits for the sound (an output's
//   latency, --delay), so that the LEDs light with what is heard; the onsets of packets passed
//   over meanwhile are carried on. In a stereo layout the packets follow both sides (the louder
//   side leads, led/syncmaker.h).
#ifndef SHELL_WLED_H
#define SHELL_WLED_H

#include "led/sender.h"
#include "led/syncmaker.h"
#include "media/analysisloop.h"
#include "media/framedelay.h"
#include "shell/options.h"

#include <cstdint>
#include <string>
#include <vector>

namespace shell {

extern const Option kWledOption;
extern const Option kWledTtlOption;
constexpr int kMaxTtl = 255;

// Reads --wled and --wled-ttl: *on tells whether LEDs are asked for, *target where to. Returns
// the problem, empty when sound.
std::string readWled(const CommandLine& line, bool* on, led::Target* target);

// The sender, whose lines are complain() lines.
class WledOutput {
public:
    explicit WledOutput(const led::Target& target);
    void offer(const led::Packet& packet, bool onset) { sender_.offer(packet, onset); }
    // "; N LED packets to HOST:PORT", for a run's closing line.
    std::string summary() const;

private:
    led::Target target_;
    led::Sender sender_;
};

// One loop's frames, with its analysers' spectra, into packets for output.
class WledFrames : public media::FrameConsumer {
public:
    explicit WledFrames(WledOutput& output, const media::AnalysisLoop& loop);
    void take(const media::AnalysedHop& hop) override;
    // From the next frame on, each packet goes out this much later than its frame is made; held
    // to 0..media::kLongestDelayMs.
    void setDelayMs(double ms);

private:
    struct Held {
        led::Packet packet {};
        bool onset = false;
    };

    WledOutput& output_;
    const media::AnalysisLoop& loop_;
    led::SyncMaker maker_;
    // The packets made and not yet offered, in the order made; one slot more than the longest
    // delay, taken when the frames start.
    std::vector<Held> held_;
    std::int64_t made_ = 0;
    std::int64_t offered_ = 0;
    int delayTicks_ = 0;
};

} // namespace shell

#endif
