#include "golden.h"

#include "dsp/realfft.h"
#include "dsp/spectrumanalyzer.h"

#include <cstring>
#include <limits>

namespace golden {

namespace {

    constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
    constexpr std::uint64_t kFnvPrime = 1099511628211ull;

    struct Fnv1a {
        std::uint64_t value = kFnvOffset;

        void addWord(std::uint32_t word)
        {
            for (int shift = 0; shift < 32; shift += 8) {
                value ^= (word >> shift) & 0xffu;
                value *= kFnvPrime;
            }
        }
        void addFloat(float f)
        {
            std::uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            const bool nan = (bits & 0x7f800000u) == 0x7f800000u && (bits & 0x007fffffu) != 0;
            addWord(nan ? 0x7fc00000u : bits);
        }
    };

    // SplitMix64: a fixed sequence on every platform, unlike the standard library's
    // distributions.
    struct SplitMix64 {
        std::uint64_t state;

        std::uint64_t next()
        {
            std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            return z ^ (z >> 31);
        }
        // Uniform in -2^23..2^23 - 1.
        std::int32_t next24() { return static_cast<std::int32_t>(next() >> 40) - (1 << 23); }
    };

    constexpr float kTwoToMinus23 = 1.0f / 8388608.0f;

    // The test signal: coloured noise plus a triangle wave, in integers below 2^24 in magnitude,
    // so converting to float and scaling by a power of two is exact. The hop decides the level,
    // which walks the analyzer through loud audio, a quieter tone, a level under the AGC gate,
    // exact silence, subnormal samples and full scale again.
    class Signal {
    public:
        explicit Signal(std::uint64_t seed)
            : noise_ { seed }
        {
        }

        void fillHop(int hop, float* out, unsigned count)
        {
            float gain;
            int toneShift;
            if (hop < 120) {
                gain = 0.5f;
                toneShift = 4;
            } else if (hop < 200) {
                gain = 0.125f;
                toneShift = 0;
            } else if (hop < 280) {
                gain = 1.0f / 4096.0f;
                toneShift = 1;
            } else if (hop < 360) {
                gain = 0.0f;
                toneShift = 0;
            } else if (hop < 420) {
                gain = 0x1p-130f;
                toneShift = 2;
            } else {
                gain = 1.0f;
                toneShift = 1;
            }
            // The triangle's period changes with the hop, so the loudest band moves around.
            const std::int64_t period = 40 + (hop / 30) * 37;
            for (unsigned i = 0; i < count; ++i) {
                const std::int64_t white = noise_.next24();
                lowpass_ += (white - lowpass_) / 8;
                const std::int64_t p = phase_ % period;
                const std::int64_t triangle
                    = (p < period / 2 ? p : period - p) * (1 << 22) / period;
                phase_ += 1;
                const std::int64_t sample = lowpass_ + white / 16 + (triangle >> toneShift);
                out[i] = static_cast<float>(sample) * kTwoToMinus23 * gain;
            }
        }

    private:
        SplitMix64 noise_;
        std::int64_t lowpass_ = 0;
        std::int64_t phase_ = 0;
    };

    // Infinities, NaNs, huge values whose squares overflow, and negative zeros, sprinkled into
    // the signal of chosen hops; each reaches the buffer and leaves it again after one FFT length.
    void spoil(int hop, float* samples, unsigned count)
    {
        const float infinity = std::numeric_limits<float>::infinity();
        const unsigned at = count / 3;
        switch (hop) {
        case 30:
            samples[at] = infinity;
            break;
        case 60:
            samples[at] = -infinity;
            samples[at + 7] = infinity;
            break;
        case 90:
            samples[at] = std::numeric_limits<float>::quiet_NaN();
            break;
        case 120:
            samples[at] = 3.0e38f;
            samples[at + 1] = -3.0e38f;
            break;
        case 150:
            for (unsigned i = 0; i < count; ++i)
                samples[i] = -0.0f;
            break;
        default:
            break;
        }
    }

} // namespace

std::uint64_t spectrumHash(int size, bool spoiled)
{
    // Four blocks in a row through one object, so leftovers in its work arrays would show too.
    dsp::HannWindow window;
    window.resize(size);
    dsp::RealFft fft(size);
    Signal signal(0x5eed0000u + static_cast<unsigned>(size));
    std::vector<float> samples(static_cast<std::size_t>(size));
    std::vector<float> windowed(samples.size());
    std::vector<float> power(samples.size() / 2 + 1);
    Fnv1a hash;
    for (int block = 0; block < 4; ++block) {
        signal.fillHop(block * 150, samples.data(), static_cast<unsigned>(size));
        if (spoiled) {
            samples[static_cast<std::size_t>(size / 4 + block)] = 1.0e30f;
            samples[static_cast<std::size_t>(size / 2 - block)]
                = block == 2 ? std::numeric_limits<float>::infinity() : -0.0f;
        }
        window.apply(samples.data(), windowed.data());
        fft.powerSpectrum(windowed.data(), window.sum(), power.data());
        for (float p : power)
            hash.addFloat(p);
    }
    return hash.value;
}

std::vector<std::uint64_t> frameHashes(double rate, bool spoiled, int& frames)
{
    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(rate, dsp::kDefaultBands);
    const unsigned hopLength = static_cast<unsigned>(rate / dsp::kFrameRateHz);
    std::vector<float> samples(hopLength);
    Signal signal(0x901d0000u + hopLength);
    dsp::SpectrumFrame frame;
    Fnv1a hash;
    std::vector<std::uint64_t> checkpoints;
    frames = 0;
    for (int hop = 0; hop < kHops; ++hop) {
        signal.fillHop(hop, samples.data(), hopLength);
        if (spoiled)
            spoil(hop, samples.data(), hopLength);
        analyzer.pushSamples(samples.data(), hopLength);
        if (analyzer.process(frame)) {
            ++frames;
            hash.addWord(frame.seq);
            hash.addWord(static_cast<std::uint32_t>(frame.bandCount));
            for (int k = 0; k < dsp::kMaxBands; ++k)
                hash.addFloat(frame.bars[k]);
            for (int k = 0; k < dsp::kMaxBands; ++k)
                hash.addFloat(frame.peaks[k]);
            hash.addFloat(frame.presence);
            hash.addFloat(frame.rmsDb);
            hash.addFloat(frame.agcDb);
        }
        if ((hop + 1) % kCheckpointEvery == 0)
            checkpoints.push_back(hash.value);
    }
    return checkpoints;
}

} // namespace golden
