#include "dsp/bandmap.h"

#include "dsp/exactmath.h"
#include "dsp/saturate.h"

#include <cmath>

namespace dsp {

namespace {

    float tiltDbAt(float centerHz)
    {
        float tilt = exactLog2(centerHz / kTiltRefHz) * kTiltDbPerOctave;
        if (centerHz < kBassCutLowHz)
            tilt -= kBassCutDb;
        else if (centerHz < kBassCutHighHz)
            tilt -= kBassCutDb
                * (1.0f - (centerHz - kBassCutLowHz) / (kBassCutHighHz - kBassCutLowHz));
        return tilt;
    }

    // sum + p[from] + ... + p[to - 1], added one after another in ascending order.
    float addBins(float sum, const float* p, std::int32_t from, std::int32_t to)
    {
        for (std::int32_t t = from; t < to; ++t)
            sum += p[t];
        return sum;
    }

} // namespace

void BandMap::build(int count, int fftSize, double sampleRate, float lowHz, float highHz)
{
    table_.clear();
    if (count < 1 || fftSize < 1 || !(sampleRate > 0.0))
        return;

    const float binHz = static_cast<float>(sampleRate / fftSize);
    const std::int32_t lowest = saturatingInt(std::ceil(kMinAnalysisHz / binHz));
    minBin_ = lowest > 1 ? lowest : 1;
    const std::int32_t highest = saturatingInt(std::floor(kMaxAnalysisHz / binHz));
    maxBin_ = highest < fftSize / 2 ? highest : fftSize / 2;

    table_.resize(static_cast<std::size_t>(count));
    const float ratio = highHz / lowHz;
    const float bands = static_cast<float>(count);
    for (int i = 0; i < count; ++i) {
        Band& band = table_[static_cast<std::size_t>(i)];
        const float fLo = exactPow(ratio, static_cast<float>(i) / bands) * lowHz;
        const float fHi = exactPow(ratio, static_cast<float>(i + 1) / bands) * lowHz;
        band.centerHz = std::sqrt(fHi * fLo);
        band.tiltDb = tiltDbAt(band.centerHz);
        const std::int32_t lo = saturatingInt(std::ceil(fLo / binHz));
        band.loBin = lo < minBin_ ? minBin_ : lo;
        const std::int32_t hi = saturatingInt(std::floor(fHi / binHz));
        band.hiBin = hi > maxBin_ ? maxBin_ : hi;
        band.centerBin = band.centerHz / binHz;
    }
}

void BandMap::apply(const float* power, float* bandDb) const
{
    const std::size_t count = table_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Band& band = table_[i];
        float sum = 0.0f;
        const Band* next = i + 1 < count ? &table_[i + 1] : nullptr;
        if (band.hiBin >= band.loBin && next && next->hiBin >= next->loBin) {
            // Two bands' sums side by side. Each stays its own chain of additions in ascending
            // order, the same bits as alone, but the two chains share the adder's latency, which
            // bounds a long band's sum.
            const float* a = power + band.loBin;
            const float* b = power + next->loBin;
            const std::int32_t na = band.hiBin - band.loBin + 1;
            const std::int32_t nb = next->hiBin - next->loBin + 1;
            const std::int32_t both = na < nb ? na : nb;
            float sumB = 0.0f;
            for (std::int32_t t = 0; t < both; ++t) {
                sum += a[t];
                sumB += b[t];
            }
            sum = addBins(sum, a, both, na);
            sumB = addBins(sumB, b, both, nb);
            bandDb[i] = 10.0f * exactLog10(sum + kPowerFloor) + band.tiltDb;
            bandDb[i + 1] = 10.0f * exactLog10(sumB + kPowerFloor) + next->tiltDb;
            ++i;
            continue;
        }
        if (band.hiBin < band.loBin) {
            const std::int32_t k = saturatingInt(band.centerBin);
            const float frac = band.centerBin - static_cast<float>(k);
            // k < maxBin_ is k + 1 <= maxBin_ without the overflow at the int limit.
            if (k < minBin_)
                sum = 0.0f;
            else if (k < maxBin_)
                sum = (1.0f - frac) * power[k] + frac * power[k + 1];
            else if (k <= maxBin_)
                sum = power[k];
        } else {
            sum = addBins(0.0f, power + band.loBin, 0, band.hiBin - band.loBin + 1);
        }
        bandDb[i] = 10.0f * exactLog10(sum + kPowerFloor) + band.tiltDb;
    }
}

} // namespace dsp
