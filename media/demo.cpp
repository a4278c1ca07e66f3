#include "media/demo.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>

namespace media {

namespace {

    constexpr double kTwoPi = 6.283185307179586;
    // Every sounding section fades in and out this fast, so its edges do not click: a click
    // would light every band at once and hide what the section is there to show.
    constexpr double kFadeSec = 0.01;
    constexpr double kBeatSec = 0.5;
    constexpr std::uint32_t kNoiseSeed = 2024;
    constexpr double kChordHz[] = { 220.0, 261.63, 329.63, 440.0 };
    constexpr double kTremoloHz = 2.0;
    constexpr double kTremoloDepth = 0.2;

    struct Span {
        float* data;
        std::size_t size;
    };

    std::size_t sampleAt(double sec)
    {
        return static_cast<std::size_t>(std::llround(sec * kDemoRateHz));
    }

    double timeOf(std::size_t i)
    {
        return static_cast<double>(i) / kDemoRateHz;
    }

    // Uniform white noise in -1..1, built from the engine's bits so that the programme is the
    // same with every standard library.
    double white(std::mt19937& engine)
    {
        return static_cast<double>(engine() >> 8) * (2.0 / 16777216.0) - 1.0;
    }

    void scaleToRms(Span s, float dbfs)
    {
        double sum = 0.0;
        for (std::size_t i = 0; i < s.size; ++i)
            sum += static_cast<double>(s.data[i]) * s.data[i];
        if (s.size == 0 || sum <= 0.0)
            return;
        const double gain
            = std::pow(10.0, dbfs / 20.0) / std::sqrt(sum / static_cast<double>(s.size));
        for (std::size_t i = 0; i < s.size; ++i)
            s.data[i] = static_cast<float>(s.data[i] * gain);
    }

    void fadeEdges(Span s)
    {
        const std::size_t n = std::min(sampleAt(kFadeSec), s.size / 2);
        for (std::size_t i = 0; i < n; ++i) {
            const float g
                = static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * 0.5 * timeOf(i) / kFadeSec));
            s.data[i] *= g;
            s.data[s.size - 1 - i] *= g;
        }
    }

    // Exponential sweep: the frequency grows by the same ratio every second, so it spends equal
    // time in each of the equally spaced (in log frequency) display bands.
    void sweep(Span s)
    {
        const double length = timeOf(s.size);
        const double rate
            = std::log(static_cast<double>(kDemoSweepHighHz) / kDemoSweepLowHz) / length;
        for (std::size_t i = 0; i < s.size; ++i) {
            const double phase
                = kTwoPi * kDemoSweepLowHz * (std::exp(rate * timeOf(i)) - 1.0) / rate;
            s.data[i] = static_cast<float>(std::sin(phase));
        }
    }

    void addKick(Span s, std::size_t at)
    {
        double phase = 0.0;
        const std::size_t end = std::min(s.size, at + sampleAt(0.35));
        for (std::size_t i = at; i < end; ++i) {
            const double t = timeOf(i - at);
            phase += kTwoPi * (45.0 + 105.0 * std::exp(-t / 0.04)) / kDemoRateHz;
            s.data[i] += static_cast<float>(0.7 * std::exp(-t / 0.18) * std::sin(phase));
        }
    }

    void addSnare(Span s, std::size_t at, std::mt19937& engine)
    {
        const std::size_t end = std::min(s.size, at + sampleAt(0.2));
        for (std::size_t i = at; i < end; ++i) {
            const double t = timeOf(i - at);
            const double noise = 0.45 * white(engine) * std::exp(-t / 0.06);
            const double body = 0.3 * std::sin(kTwoPi * 190.0 * t) * std::exp(-t / 0.08);
            s.data[i] += static_cast<float>(noise + body);
        }
    }

    void addHat(Span s, std::size_t at, std::mt19937& engine)
    {
        // The difference of white noise tilts it towards the top octaves.
        double previous = 0.0;
        const std::size_t end = std::min(s.size, at + sampleAt(0.05));
        for (std::size_t i = at; i < end; ++i) {
            const double w = white(engine);
            s.data[i]
                += static_cast<float>(0.1 * (w - previous) * std::exp(-timeOf(i - at) / 0.015));
            previous = w;
        }
    }

    // One bar is four beats: kick on 1 and 3, snare on 2 and 4, hi-hat on every eighth note.
    void drums(Span s, std::mt19937& engine)
    {
        const std::size_t eighth = sampleAt(kBeatSec / 2.0);
        for (std::size_t e = 0; e * eighth < s.size; ++e) {
            addHat(s, e * eighth, engine);
            if (e % 2 != 0)
                continue;
            if ((e / 2) % 2 == 0)
                addKick(s, e * eighth);
            else
                addSnare(s, e * eighth, engine);
        }
    }

    void chord(Span s)
    {
        for (std::size_t i = 0; i < s.size; ++i) {
            const double t = timeOf(i);
            double sum = 0.0;
            for (double hz : kChordHz)
                sum += std::sin(kTwoPi * hz * t);
            s.data[i] = static_cast<float>(
                sum * (1.0 + kTremoloDepth * std::sin(kTwoPi * kTremoloHz * t)));
        }
    }

    // Paul Kellet's refined pink-noise filter over uniform white noise.
    void pinkNoise(Span s, std::mt19937& engine)
    {
        double b[7] = {};
        for (std::size_t i = 0; i < s.size; ++i) {
            const double w = white(engine);
            b[0] = 0.99886 * b[0] + w * 0.0555179;
            b[1] = 0.99332 * b[1] + w * 0.0750759;
            b[2] = 0.96900 * b[2] + w * 0.1538520;
            b[3] = 0.86650 * b[3] + w * 0.3104856;
            b[4] = 0.55000 * b[4] + w * 0.5329522;
            b[5] = -0.7616 * b[5] - w * 0.0168980;
            s.data[i]
                = static_cast<float>(b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362);
            b[6] = w * 0.115926;
        }
    }

} // namespace

std::vector<float> renderDemo()
{
    std::vector<float> samples(sampleAt(kDemoLengthSec), 0.0f);
    std::mt19937 engine(kNoiseSeed);
    for (const DemoSection& section : kDemoSections) {
        const std::size_t begin = sampleAt(section.startSec);
        const Span s { samples.data() + begin, sampleAt(section.endSec) - begin };
        switch (section.sound) {
        case DemoSound::Sweep:
            sweep(s);
            break;
        case DemoSound::Drums:
            drums(s, engine);
            break;
        case DemoSound::Chord:
            chord(s);
            break;
        case DemoSound::PinkNoise:
            pinkNoise(s, engine);
            break;
        case DemoSound::Silence:
            // Exactly zero, as digital silence in a file would be.
            continue;
        }
        scaleToRms(s, section.levelDbfs);
        fadeEdges(s);
    }
    return samples;
}

int demoSectionAt(double timeSec)
{
    if (!(timeSec >= 0.0))
        return -1;
    for (int i = 0; i < kDemoSectionCount; ++i) {
        if (timeSec < kDemoSections[i].endSec)
            return i;
    }
    return kDemoSectionCount - 1;
}

} // namespace media
