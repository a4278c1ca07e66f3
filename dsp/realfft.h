// Hann window and real-input FFT power spectrum.
//
// Contract:
// - HannWindow holds a periodic Hann window of n coefficients (divisor n, so coefficient 0 is 0
//   and coefficient n/2 is 1); its sum is exactly n/2 for even n. Coefficients and sum are formed
//   in double and stored as float.
// - RealFft(N), N a power of two >= 2, turns N real samples into N/2 + 1 power bins with an
//   N/2-point complex radix-2 transform and a split step, in single precision; every twiddle is a
//   table entry formed in double. The work runs as wide as simd::active() allows (four lanes with
//   SSE2, eight with AVX2), each lane doing the scalar operations in the scalar order, so every
//   output bit is the same on every machine and path.
// - Scaling: with windowSum > 0, power[k] = (2 |X[k]| / windowSum)^2 for 0 < k < N/2 and
//   (|X[k]| / windowSum)^2 at DC and Nyquist, X being the plain forward DFT of the input. With the
//   Hann sum N/2, a sine of peak amplitude A exactly on an inner bin reads A^2 there. A windowSum
//   of 0 or below scales by 1.
// - Allocation happens only in HannWindow::resize and the RealFft constructor; apply and
//   powerSpectrum work in place. RealFft keeps mutable work arrays: one object per thread.
#ifndef DSP_REALFFT_H
#define DSP_REALFFT_H

#include "dsp/export.h"
#include "dsp/simd.h"
#include "dsp/squaresum.h"

#include <cstdint>
#include <vector>

namespace dsp {

namespace fft {
    struct KernelTable;
}

class HannWindow {
public:
    // Recomputes coefficients and sum when n differs from the current length; n <= 0 empties.
    BANDCORE_API void resize(int n);
    // out[i] = coeffs[i] * in[i] for every coefficient; in and out hold at least size() floats.
    BANDCORE_API void apply(const float* in, float* out) const;
    float sum() const { return sum_; }
    int size() const { return static_cast<int>(coeffs_.size()); }

private:
    std::vector<float> coeffs_;
    float sum_ = 0.0f;
};

class RealFft {
public:
    BANDCORE_API explicit RealFft(int size);
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    int size() const { return size_; }
    // Reads size() samples from in, writes size() / 2 + 1 bins to power.
    BANDCORE_API void powerSpectrum(const float* in, float windowSum, float* power);
    // The same, and side.sum grows by the squares of side.next..side.end (another array), all of
    // them by the return.
    BANDCORE_API void powerSpectrum(
        const float* in, float windowSum, float* power, SquareSum& side);

private:
    // Packs the input into re_/im_ in bit-reversed order, running the first stages on the way
    // where that pays; returns the half-length of the first stage still to run.
    int load(const float* in, const fft::KernelTable& table, SquareSum& side);
    // The in-place radix-2 stages of half-length h, 2h, ... up to size() / 4, on re_/im_.
    void transform(int h, const fft::KernelTable& table, SquareSum& side);

    std::int32_t size_;
    std::int32_t half_;
    std::vector<std::int32_t> bitRev_;
    std::vector<float> twCos_;
    std::vector<float> twSin_;
    // The same twiddles laid out per stage: entries h..2h-1 hold the h twiddles of the stage with
    // half-length h in the order its butterflies use them, so each stage reads them contiguously.
    // Entry 0 is unused.
    std::vector<float> stageCos_;
    std::vector<float> stageSin_;
    std::vector<float> splitCos_;
    std::vector<float> splitSin_;
    std::vector<float> re_;
    std::vector<float> im_;
};

} // namespace dsp

#endif
