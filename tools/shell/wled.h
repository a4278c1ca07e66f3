// LED output for both programs: --wled[=HOST[:PORT]] and --wled-ttl N, read the same in both, and
// the frames' way from an analysis loop to the LED sender (led/).
//
// - Without a value --wled sends to the LED boards' multicast group and port (led::kDefaultGroup,
//   led::kDefaultPort); HOST is an IPv4 address or a name, PORT 1..65535.
// - --wled-ttl N (1..255) sets the multicast time-to-live (1 by default: the local network only);
//   it needs --wled.
// - One WledOutput sends for the whole run; each analysis loop gets a WledFrames of its own (its
//   rate and window may differ from track to track).
#ifndef SHELL_WLED_H
#define SHELL_WLED_H

#include "led/sender.h"
#include "led/syncmaker.h"
#include "media/analysisloop.h"
#include "shell/options.h"

#include <string>

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

// One loop's frames, with its first group's analyser's spectrum, into packets for output.
class WledFrames : public media::FrameConsumer {
public:
    WledFrames(WledOutput& output, const dsp::SpectrumAnalyzer& analyzer);
    void take(const media::AnalysedHop& hop) override;

private:
    WledOutput& output_;
    const dsp::SpectrumAnalyzer& analyzer_;
    led::SyncMaker maker_;
};

} // namespace shell

#endif
