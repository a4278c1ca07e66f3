// Log-spaced band table: groups the N/2 + 1 power bins of one hop into display bands.
//
// Contract:
// - build() lays `count` bands of equal frequency ratio from lowHz to highHz over bins of width
//   sampleRate / fftSize, using only bins in kMinAnalysisHz..kMaxAnalysisHz (and at most
//   fftSize/2).
// - apply() sums the linear power of each band's bins in ascending order (a band narrower than
//   one bin interpolates between the two bins around its centre), converts the sum to dB with a
//   floor of kPowerFloor, and adds the band's tilt: +kTiltDbPerOctave per octave above
//   kTiltRefHz, with up to kBassCutDb more cut below kBassCutHighHz.
// - Every float-to-int conversion saturates, so absurd sample rates give an odd but safe table;
//   apply() never reads past bin fftSize / 2.
// - build() allocates; apply() does not.
#ifndef DSP_BANDMAP_H
#define DSP_BANDMAP_H

#include "dsp/export.h"

#include <cstdint>
#include <vector>

namespace dsp {

constexpr float kMinAnalysisHz = 20.0f;
constexpr float kMaxAnalysisHz = 18000.0f;
constexpr float kTiltDbPerOctave = 1.5f;
constexpr float kTiltRefHz = 1000.0f;
constexpr float kBassCutDb = 3.0f;
constexpr float kBassCutLowHz = 80.0f;
constexpr float kBassCutHighHz = 160.0f;
constexpr float kPowerFloor = 1e-12f;

struct Band {
    std::int32_t loBin = 0;
    // Below loBin marks a band narrower than one bin (or outside the usable bins).
    std::int32_t hiBin = -1;
    float centerHz = 0.0f;
    float centerBin = 0.0f;
    float tiltDb = 0.0f;
};

class BandMap {
public:
    // Rebuilds the table. count < 1, fftSize < 1 or a sample rate that is not above 0 (NaN
    // included) leave it empty, with minBin() and maxBin() unchanged.
    BANDCORE_API void build(int count, int fftSize, double sampleRate, float lowHz, float highHz);
    // power holds fftSize / 2 + 1 bins; writes one level in dB per band to bandDb.
    BANDCORE_API void apply(const float* power, float* bandDb) const;
    bool empty() const { return table_.empty(); }

    const std::vector<Band>& table() const { return table_; }
    int minBin() const { return minBin_; }
    int maxBin() const { return maxBin_; }

private:
    std::vector<Band> table_;
    std::int32_t minBin_ = 0;
    std::int32_t maxBin_ = 0;
};

} // namespace dsp

#endif
