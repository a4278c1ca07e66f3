// libFuzzer target over the core's whole interface: one SpectrumAnalyzer and one free-standing
// Ballistics take a sequence of operations decoded from the input, with hostile arguments, and
// every operation is followed by a check of everything a caller may rely on. A C API analyzer and
// ballistics handle take the same operations and must answer with the same bits. A broken promise
// aborts with a description, which libFuzzer records as a crash; the sanitizers catch the rest.
//
// Input format, read front to back (bytes past the end read as 0):
//   op byte, op % 6:
//     0 configure   rate, band count
//     1 push        length, samples, flags (bit 0: push a null pointer instead)
//     2 process
//     3 hops        repeats (1 + byte % 32), length, samples: pushes that block and processes, per
//                   repeat
//     4 step        repeats (1 + byte % 64), band count, RMS level, band row
//     5 reset       the free-standing Ballistics
//   rate:        byte b; b < size of kRates picks from it, otherwise 8 raw bytes (a double)
//   band count:  byte b; b < size of kCounts picks from it, otherwise 4 raw bytes (an int32)
//   length:      byte b; b < size of kLengths picks from it, otherwise 4 raw bytes, taken modulo
//                kMaxPushSamples + 1
//   sample:      byte b; b < size of kSamples picks from it, otherwise 4 raw bytes (a float)
//   level (dB):  byte b; b < size of kLevels picks from it, otherwise 4 raw bytes (a float)
//   samples:     kind byte, kind % 5:
//                  0 constant    sample
//                  1 sine        frequency byte (f = (byte + 1) * 100 Hz at 48 kHz), amplitude
//                                sample
//                  2 noise       4 seed bytes, amplitude sample
//                  3 raw         count byte (1 + byte % 64), that many raw floats, repeated
//                  4 sprinkled   sample, stride byte (1 + byte): the sample every stride-th
//                                position of a 1 kHz sine at 0.3
//   band row:    kind byte, kind % 3:
//                  0 constant    level in every band
//                  1 lone band   band byte (% 32), level there, -60 dB elsewhere
//                  2 raw         32 levels

#include "dsp/ballistics.h"
#include "dsp/bandcore.h"
#include "dsp/spectrumanalyzer.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

namespace {

using dsp::Ballistics;
using dsp::SpectrumAnalyzer;
using dsp::SpectrumFrame;

constexpr unsigned kMaxPushSamples = 32768;
// Caps the work one input may ask for, so that the fuzzer keeps up its pace under the sanitizers:
// process() costs about its FFT length (64 hops at 4096 points, the 48 kHz size, fill the budget),
// a step() only touches 32 bands.
constexpr long kMaxFftPoints = 64L * 4096;
constexpr int kMaxStepCalls = 4096;
constexpr double kNominalRateHz = 48000.0;
constexpr double kTwoPi = 6.283185307179586;
constexpr float kSentinel = -7.0f;

constexpr double kDoubleNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDoubleInf = std::numeric_limits<double>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int kIntMin = std::numeric_limits<int>::min();
constexpr int kIntMax = std::numeric_limits<int>::max();

constexpr double kRates[] = { 48000.0, 44100.0, 96000.0, 8000.0, 22050.0, 192000.0, 12059.0,
    48199.0, 48200.0, 1.0, 0.0, -0.0, -1.0, -48000.0, kDoubleNaN, kDoubleInf, -kDoubleInf,
    std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(), 1e-300, 1e300,
    std::numeric_limits<double>::max() };
constexpr int kCounts[] = { 28, 1, 32, 0, -1, 2, 31, 33, 40, kIntMin, kIntMax };
constexpr unsigned kLengths[] = { 800, 0, 1, 735, 1023, 1024, 1025, 4095, 4096, 4097, 8191, 8192,
    8193, 10000, 24576, kMaxPushSamples };
constexpr float kSamples[]
    = { 0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 1e-3f, std::numeric_limits<float>::denorm_min(),
          std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
          -std::numeric_limits<float>::max(), 1e20f, kNaN, kInf, -kInf };
constexpr float kLevels[] = { -60.0f, -160.0f, -120.0f, -68.0f, -19.5f, -15.0f, 0.0f, 40.0f, kNaN,
    kInf, -kInf, std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
    std::numeric_limits<float>::denorm_min() };

[[noreturn]] void fail(const char* what, long index, double got)
{
    std::fprintf(stderr, "fuzz_core: %s (index %ld, value %.9g)\n", what, index, got);
    std::abort();
}

void require(bool ok, const char* what, long index = -1, double got = 0.0)
{
    if (!ok)
        fail(what, index, got);
}

bool isPowerOfTwo(int n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// Sample blocks are built here; allocated once, not for every input.
std::vector<float>& scratch()
{
    static std::vector<float> samples(kMaxPushSamples);
    return samples;
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size)
        : data_(data)
        , size_(size)
    {
    }

    bool done() const { return pos_ >= size_; }

    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    template <typename T> T raw()
    {
        unsigned char bytes[sizeof(T)] = {};
        for (unsigned char& b : bytes)
            b = byte();
        T value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    template <typename T, std::size_t N> T pick(const T (&table)[N])
    {
        const std::uint8_t b = byte();
        return b < N ? table[b] : raw<T>();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// What the analyzer must be, tracked from the calls alone.
struct Model {
    bool configured = false;
    double rate = 0.0;
    int bandCount = dsp::kDefaultBands;
    std::uint64_t pushed = 0; // samples accepted since the last accepted configure
    std::uint32_t seq = 0;
};

bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class Harness {
public:
    Harness()
    {
        require(bandcore_analyzer_create(&capi_) == BANDCORE_OK, "C analyzer not created");
        require(bandcore_ballistics_create(&capiBallistics_) == BANDCORE_OK,
            "C ballistics not created");
    }
    ~Harness()
    {
        bandcore_analyzer_destroy(capi_);
        bandcore_ballistics_destroy(capiBallistics_);
    }
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    void run(Input& in)
    {
        while (!in.done() && fftPoints_ < kMaxFftPoints && stepCalls_ < kMaxStepCalls) {
            switch (in.byte() % 6) {
            case 0:
                configure(in);
                break;
            case 1:
                push(in);
                break;
            case 2:
                process();
                break;
            case 3:
                hops(in);
                break;
            case 4:
                step(in);
                break;
            default:
                ballistics_.reset();
                require(bandcore_ballistics_reset(capiBallistics_) == BANDCORE_OK, "C reset");
                require(ballistics_.agcDb() == 0.0f && ballistics_.presence() == 0.0f,
                    "reset leaves gain or presence behind");
                break;
            }
            checkAnalyzer();
        }
    }

private:
    void configure(Input& in)
    {
        const double rate = in.pick(kRates);
        const int bands = in.pick(kCounts);
        const int sizeBefore = analyzer_.fftSize();
        analyzer_.configure(rate, bands);
        const int status = bandcore_analyzer_configure(capi_, rate, bands);
        const bool accepted = rate > 0.0 && std::isfinite(rate);
        require(status == (accepted ? BANDCORE_OK : BANDCORE_ERROR_INVALID_ARGUMENT),
            "C configure status", -1, status);
        if (accepted) {
            model_.configured = true;
            model_.rate = rate;
            model_.bandCount = bands < 1 ? 1 : (bands > dsp::kMaxBands ? dsp::kMaxBands : bands);
            model_.pushed = 0;
        } else {
            require(analyzer_.fftSize() == sizeBefore, "rejected rate changed the FFT size", -1,
                analyzer_.fftSize());
        }
        require(analyzer_.bandCount() == model_.bandCount, "band count not clamped", bands,
            analyzer_.bandCount());
    }

    unsigned fill(Input& in)
    {
        unsigned count = in.pick(kLengths);
        count %= kMaxPushSamples + 1;
        float* out = samples_.data();
        switch (in.byte() % 5) {
        case 0: {
            const float value = in.pick(kSamples);
            for (unsigned i = 0; i < count; ++i)
                out[i] = value;
            break;
        }
        case 1: {
            const double freq = (in.byte() + 1) * 100.0;
            const float amplitude = in.pick(kSamples);
            for (unsigned i = 0; i < count; ++i) {
                const double phase = kTwoPi * freq * i / kNominalRateHz;
                out[i] = static_cast<float>(std::sin(phase)) * amplitude;
            }
            break;
        }
        case 2: {
            std::uint32_t state = in.raw<std::uint32_t>();
            const float amplitude = in.pick(kSamples);
            for (unsigned i = 0; i < count; ++i) {
                state = state * 1664525u + 1013904223u;
                const float unit = static_cast<float>(state >> 8) / 8388608.0f - 1.0f;
                out[i] = unit * amplitude;
            }
            break;
        }
        case 3: {
            float pattern[64];
            const unsigned length = 1 + in.byte() % 64u;
            for (unsigned i = 0; i < length; ++i)
                pattern[i] = in.raw<float>();
            for (unsigned i = 0; i < count; ++i)
                out[i] = pattern[i % length];
            break;
        }
        default: {
            const float value = in.pick(kSamples);
            const unsigned stride = 1u + in.byte();
            for (unsigned i = 0; i < count; ++i) {
                const double phase = kTwoPi * 1000.0 * i / kNominalRateHz;
                out[i] = i % stride == 0 ? value : static_cast<float>(0.3 * std::sin(phase));
            }
            break;
        }
        }
        return count;
    }

    void pushBlock(const float* block, unsigned count)
    {
        // The level functions take the same blocks the analyzer does.
        const float level = dsp::computeRmsDb(block, count);
        require(!(level < dsp::kSilenceDb), "block level below the floor", count, level);
        bool zero = true;
        for (unsigned i = 0; block && i < count; ++i)
            zero = zero && block[i] == 0.0f;
        require(dsp::isExactZero(block, count) == zero, "isExactZero() is wrong", count, zero);

        analyzer_.pushSamples(block, count);
        require(bandcore_analyzer_push(capi_, block, count) == BANDCORE_OK, "C push");
        if (model_.configured && block && count > 0)
            model_.pushed += count;
    }

    void push(Input& in)
    {
        const unsigned count = fill(in);
        const bool null = in.byte() & 1u;
        pushBlock(null ? nullptr : samples_.data(), count);
    }

    void hops(Input& in)
    {
        const int repeats = 1 + in.byte() % 32;
        const unsigned count = fill(in);
        for (int r = 0; r < repeats && fftPoints_ < kMaxFftPoints; ++r) {
            pushBlock(samples_.data(), count);
            process();
        }
    }

    void process()
    {
        // Counted also when not ready, so that a long run of idle calls ends too.
        fftPoints_ += analyzer_.fftSize() > 0 ? analyzer_.fftSize() : 1;
        const bool ready
            = model_.configured && model_.pushed >= static_cast<std::uint64_t>(analyzer_.fftSize());
        const SpectrumFrame before = frame_;
        const bool produced = analyzer_.process(frame_);
        require(produced == ready, "process() disagrees with readiness", -1, produced);
        const bandcore_frame capiBefore = capiFrame_;
        const int status = bandcore_analyzer_process(capi_, &capiFrame_);
        require(status == (produced ? BANDCORE_OK : BANDCORE_NOT_READY), "C process status", -1,
            status);
        if (!produced) {
            require(std::memcmp(&before, &frame_, sizeof frame_) == 0,
                "process() without a frame touched the frame");
            require(std::memcmp(&capiBefore, &capiFrame_, sizeof capiFrame_) == 0,
                "C process without a frame touched the frame");
            return;
        }
        require(capiFrame_.seq == frame_.seq && capiFrame_.band_count == frame_.bandCount,
            "C frame header", -1, capiFrame_.seq);
        for (int k = 0; k < frame_.bandCount; ++k) {
            require(sameBits(capiFrame_.bars[k], frame_.bars[k])
                    && sameBits(capiFrame_.peaks[k], frame_.peaks[k]),
                "C frame bar or peak", k, capiFrame_.bars[k]);
        }
        require(sameBits(capiFrame_.presence, frame_.presence)
                && sameBits(capiFrame_.rms_db, frame_.rmsDb)
                && sameBits(capiFrame_.agc_db, frame_.agcDb),
            "C frame levels", -1, capiFrame_.rms_db);
        require(frame_.seq == model_.seq + 1, "seq did not advance by one", model_.seq, frame_.seq);
        model_.seq = frame_.seq;
        require(frame_.bandCount == model_.bandCount, "frame band count", -1, frame_.bandCount);
        require(frame_.bandCount >= 1 && frame_.bandCount <= dsp::kMaxBands,
            "frame band count out of range", -1, frame_.bandCount);
        checkDisplay(frame_.bars, frame_.peaks, frame_.bandCount, frame_.agcDb, frame_.presence);
        // Non-finite samples are not filtered, so NaN is a possible level; below the floor is not.
        require(!(frame_.rmsDb < dsp::kSilenceDb), "RMS level below the floor", -1, frame_.rmsDb);
    }

    void step(Input& in)
    {
        const int repeats = 1 + in.byte() % 64;
        const int count = in.pick(kCounts);
        const float rmsDb = in.pick(kLevels);
        float row[dsp::kMaxBands];
        switch (in.byte() % 3) {
        case 0: {
            const float level = in.pick(kLevels);
            for (float& v : row)
                v = level;
            break;
        }
        case 1: {
            for (float& v : row)
                v = dsp::kFloorDb;
            const int band = in.byte() % dsp::kMaxBands;
            row[band] = in.pick(kLevels);
            break;
        }
        default:
            for (float& v : row)
                v = in.raw<float>();
            break;
        }
        const int n = count < 0 ? 0 : (count > dsp::kMaxBands ? dsp::kMaxBands : count);
        for (int r = 0; r < repeats && stepCalls_ < kMaxStepCalls; ++r) {
            ++stepCalls_;
            float bars[dsp::kMaxBands];
            float peaks[dsp::kMaxBands];
            for (int k = 0; k < dsp::kMaxBands; ++k)
                bars[k] = peaks[k] = kSentinel;
            float capiBars[dsp::kMaxBands];
            float capiPeaks[dsp::kMaxBands];
            std::memcpy(capiBars, bars, sizeof bars);
            std::memcpy(capiPeaks, peaks, sizeof peaks);
            ballistics_.step(row, count, rmsDb, bars, peaks);
            require(
                bandcore_ballistics_step(capiBallistics_, row, count, rmsDb, capiBars, capiPeaks)
                    == BANDCORE_OK,
                "C step");
            require(std::memcmp(capiBars, bars, sizeof bars) == 0
                    && std::memcmp(capiPeaks, peaks, sizeof peaks) == 0,
                "C step wrote other bars or peaks");
            require(sameBits(bandcore_ballistics_agc_db(capiBallistics_), ballistics_.agcDb())
                    && sameBits(
                        bandcore_ballistics_presence(capiBallistics_), ballistics_.presence()),
                "C gain or presence", -1, bandcore_ballistics_agc_db(capiBallistics_));
            checkDisplay(bars, peaks, n, ballistics_.agcDb(), ballistics_.presence());
            for (int k = n; k < dsp::kMaxBands; ++k) {
                require(bars[k] == kSentinel && peaks[k] == kSentinel,
                    "step() wrote past its band count", k, bars[k]);
            }
        }
    }

    static void checkDisplay(
        const float* bars, const float* peaks, int count, float agcDb, float presence)
    {
        for (int k = 0; k < count; ++k) {
            require(bars[k] >= 0.0f && bars[k] <= 1.0f, "bar outside 0..1", k, bars[k]);
            require(peaks[k] >= 0.0f && peaks[k] <= 1.0f, "peak outside 0..1", k, peaks[k]);
            require(peaks[k] >= bars[k], "peak below its bar", k, peaks[k] - bars[k]);
        }
        require(agcDb >= dsp::kAgcMinDb && agcDb <= dsp::kAgcMaxDb, "gain outside -6..24 dB", -1,
            agcDb);
        require(presence >= 0.0f && presence <= 1.0f, "presence outside 0..1", -1, presence);
    }

    void checkAnalyzer()
    {
        const int size = analyzer_.fftSize();
        require(size == 0 || (isPowerOfTwo(size) && size >= 1024 && size <= 8192),
            "FFT size not 0 or a power of two in 1024..8192", -1, size);
        require(
            (size != 0) == model_.configured, "FFT size disagrees with configuration", -1, size);
        require(analyzer_.exactZeroFrames() >= 0, "negative exact-zero count", -1,
            analyzer_.exactZeroFrames());
        require(analyzer_.sampleRate() == model_.rate, "sample rate is not the last accepted one",
            -1, analyzer_.sampleRate());
        const std::size_t bands = analyzer_.bands().table().size();
        require(bands == (model_.configured ? static_cast<std::size_t>(model_.bandCount) : 0u),
            "band table size", -1, static_cast<double>(bands));

        require(bandcore_analyzer_fft_size(capi_) == size, "C FFT size", -1,
            bandcore_analyzer_fft_size(capi_));
        require(bandcore_analyzer_band_count(capi_) == analyzer_.bandCount()
                && bandcore_analyzer_sample_rate(capi_) == analyzer_.sampleRate()
                && bandcore_analyzer_exact_zero_frames(capi_) == analyzer_.exactZeroFrames(),
            "C configuration", -1, bandcore_analyzer_sample_rate(capi_));
        for (std::size_t k = 0; k < bands; ++k) {
            require(sameBits(bandcore_analyzer_band_hz(capi_, static_cast<int>(k)),
                        analyzer_.bands().table()[k].centerHz),
                "C band centre", static_cast<long>(k));
        }
        require(bandcore_analyzer_band_hz(capi_, static_cast<int>(bands)) == 0.0f,
            "C band centre past the table");
    }

    SpectrumAnalyzer analyzer_;
    Ballistics ballistics_;
    SpectrumFrame frame_;
    bandcore_analyzer* capi_ = nullptr;
    bandcore_ballistics* capiBallistics_ = nullptr;
    bandcore_frame capiFrame_ = {};
    Model model_;
    std::vector<float>& samples_ = scratch();
    long fftPoints_ = 0;
    int stepCalls_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    Harness harness;
    harness.run(in);
    return 0;
}
