#include "dsp/spectrumanalyzer.h"

#include "dsp/exactmath.h"
#include "dsp/saturate.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace dsp {

namespace {

    // The smallest power of two that holds kAnalysisWindowSec of audio, clamped to the FFT limits.
    // The float constant widens to 0.08500000089406967, which fixes the switch points (48199 Hz
    // still gives 4096, 48200 Hz gives 8192).
    int fftSizeFor(double sampleRate)
    {
        const double span = sampleRate * kAnalysisWindowSec;
        // Decided before the int conversion, which would overflow for absurd rates.
        if (span >= kMaxFftSize)
            return kMaxFftSize;
        const int target = static_cast<int>(span);
        if (target <= 1)
            return kMinFftSize;
        int size = 1;
        while (size < kMaxFftSize && size < target)
            size *= 2;
        return size < kMinFftSize ? kMinFftSize : size;
    }

} // namespace

float computeRmsDb(const float* samples, unsigned count)
{
    return rmsDbFromSum(sumOfSquares(samples, count), count);
}

double sumOfSquares(const float* samples, unsigned count)
{
    double sum = 0.0;
    if (!samples)
        return sum;
    for (unsigned i = 0; i < count; ++i) {
        const double s = samples[i];
        sum += s * s;
    }
    return sum;
}

float rmsDbFromSum(double sum, unsigned count)
{
    if (count == 0)
        return kSilenceDb;
    const double mean = sum / count;
    if (mean <= 1e-12)
        return kSilenceDb;
    return static_cast<float>(10.0 * exactLog10(mean));
}

bool isExactZero(const float* samples, unsigned count)
{
    if (!samples)
        return true;
    // The hop itself reads the same answer off its sum of squares (takeLevels).
    for (unsigned i = 0; i < count; ++i) {
        if (!(samples[i] == 0.0f))
            return false;
    }
    return true;
}

void SpectrumAnalyzer::configure(double sampleRate, int bandCount)
{
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate))
        return;
    const int count = std::clamp(bandCount, 1, kMaxBands);
    const int size = fftSizeFor(sampleRate);

    // Everything that can throw is built aside first, so a failed allocation leaves the analyzer
    // as it was.
    const bool newSize = !fft_ || fft_->size() != size;
    std::unique_ptr<RealFft> fft;
    HannWindow window;
    std::vector<float> buffer;
    std::vector<float> windowed;
    std::vector<float> power;
    if (newSize) {
        fft = std::make_unique<RealFft>(size);
        window.resize(size);
        buffer.assign(static_cast<std::size_t>(size), 0.0f);
        windowed.assign(static_cast<std::size_t>(size), 0.0f);
        power.assign(static_cast<std::size_t>(size / 2 + 1), 0.0f);
    }
    std::vector<float> bandDb(static_cast<std::size_t>(count), kFloorDb);
    BandMap bands;
    bands.build(count, size, sampleRate, kBandLowHz, kBandHighHz);

    sampleRate_ = sampleRate;
    bandCount_ = count;
    if (newSize) {
        fft_.swap(fft);
        std::swap(window_, window);
        buffer_.swap(buffer);
        windowed_.swap(windowed);
        power_.swap(power);
    } else {
        std::fill(buffer_.begin(), buffer_.end(), 0.0f);
    }
    bandDb_.swap(bandDb);
    std::swap(bands_, bands);
    filled_ = 0;
    exactZero_ = 0;
    rmsDb_ = kSilenceDb;
}

void SpectrumAnalyzer::pushSamples(const float* samples, unsigned count)
{
    if (!fft_ || !samples || count == 0)
        return;
    const std::size_t n = buffer_.size();
    float* buffer = buffer_.data();
    if (count >= n) {
        std::memcpy(buffer, samples + (count - n), n * sizeof(float));
        filled_ = n;
        return;
    }
    const std::size_t kept = n - count;
    std::memmove(buffer, buffer + count, kept * sizeof(float));
    std::memcpy(buffer + kept, samples, std::size_t(count) * sizeof(float));
    filled_ = std::min<std::uint64_t>(filled_ + count, n);
}

bool SpectrumAnalyzer::process(SpectrumFrame& out)
{
    if (!readyForHop())
        return false;
    windowBuffer(windowed_.data());
    // The transform carries the levels' sum of squares along (SquareSum): measureLevels() with
    // its chain of additions hidden behind the transform's work.
    SquareSum levels;
    levels.next = buffer_.data();
    levels.end = buffer_.data() + buffer_.size();
    fft_->powerSpectrum(windowed_.data(), window_.sum(), power_.data(), levels);
    takeLevels(levels.sum);
    finishHop(power_.data(), out);
    return true;
}

void SpectrumAnalyzer::measureLevels()
{
    takeLevels(sumOfSquares(buffer_.data(), static_cast<unsigned>(buffer_.size())));
}

void SpectrumAnalyzer::takeLevels(double sumOfSquares)
{
    rmsDb_ = rmsDbFromSum(sumOfSquares, static_cast<unsigned>(buffer_.size()));
    // The sum is exactly 0 when, and only when, every sample compares equal to 0 (isExactZero):
    // a float's square is exact in double, so any non-zero sample, down to the smallest subnormal
    // (whose square is 2^-298), adds a positive amount; a sum of such amounts never rounds to 0;
    // NaN and infinity keep the sum non-zero. That spares the hop a second pass over the buffer.
    if (sumOfSquares == 0.0) {
        // Saturates: after years of digital silence only "still silent" matters.
        exactZero_ = saturatingIncrement(exactZero_);
    } else {
        exactZero_ = 0;
    }
}

void SpectrumAnalyzer::finishHop(const float* power, SpectrumFrame& out)
{
    bands_.apply(power, bandDb_.data());
    ballistics_.step(bandDb_.data(), bandCount_, rmsDb_, out.bars, out.peaks);
    out.bandCount = bandCount_;
    out.presence = ballistics_.presence();
    out.agcDb = ballistics_.agcDb();
    out.rmsDb = rmsDb_;
    ++seq_;
    out.seq = seq_;
}

} // namespace dsp
