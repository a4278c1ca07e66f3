// The built-in demo programme, shared by the programs that play it: about 20 s of synthetic audio
// at 48 kHz with one section for each behaviour a viewer of the display should notice. Section
// boundaries fall on whole display hops (multiples of 1/60 s), so a frame never straddles two
// sections by more than the analysis window.
#ifndef MEDIA_DEMO_H
#define MEDIA_DEMO_H

#include <limits>
#include <vector>

namespace media {

constexpr int kDemoRateHz = 48000;

constexpr float kSilentDbfs = -std::numeric_limits<float>::infinity();

enum class DemoSound { Sweep, Drums, Chord, Silence, PinkNoise };

struct DemoSection {
    const char* name;
    double startSec;
    double endSec;
    DemoSound sound;
    // RMS level over the whole section.
    float levelDbfs;
    // What a viewer should see while the section plays.
    const char* watch;
};

// In playing order; each section starts where the previous one ends.
constexpr DemoSection kDemoSections[] = {
    { "sweep", 0.0, 4.0, DemoSound::Sweep, -15.0f,
        "sine at -15 dBFS gliding from 40 Hz to 16 kHz: the tallest bar climbs from left to "
        "right" },
    { "drums", 4.0, 8.0, DemoSound::Drums, -18.0f,
        "kick, snare and hi-hat at 120 bpm: bars jump and sink, peak markers hold, then fall" },
    { "quiet", 8.0, 12.0, DemoSound::Chord, -40.0f,
        "soft chord at -40 dBFS: the gain lifts above +6 dB" },
    { "loud", 12.0, 14.5, DemoSound::Chord, -10.0f,
        "the same chord at -10 dBFS: the gain pulls down within a second" },
    { "short gap", 14.5, 14.8, DemoSound::Silence, kSilentDbfs,
        "0.3 s of silence: presence holds at 1" },
    { "return", 14.8, 16.0, DemoSound::Chord, -16.0f, "the chord again: presence stays up" },
    { "long gap", 16.0, 18.0, DemoSound::Silence, kSilentDbfs,
        "2 s of silence: presence holds for 0.4 s, then fades to 0" },
    { "pink noise", 18.0, 20.5, DemoSound::PinkNoise, -20.0f,
        "pink noise at -20 dBFS: every band lit, roughly level" },
};

constexpr int kDemoSectionCount = sizeof(kDemoSections) / sizeof(kDemoSections[0]);
constexpr double kDemoLengthSec = kDemoSections[kDemoSectionCount - 1].endSec;

constexpr float kDemoSweepLowHz = 40.0f;
constexpr float kDemoSweepHighHz = 16000.0f;

// The whole programme as mono samples at kDemoRateHz. Deterministic: the noise is seeded.
std::vector<float> renderDemo();

// Index of the section that plays at timeSec (the last one for times past the end), -1 before 0.
int demoSectionAt(double timeSec);

} // namespace media

#endif
