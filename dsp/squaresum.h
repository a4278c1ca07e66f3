// A running sum of squares that a kernel can advance a few samples at a time.
//
// Contract:
// - sum grows by the square of each sample from next up to end, each widened to double, squared
//   and added in index order, so the result is the plain loop's to the bit; next moves on as it
//   does.
// - A plain struct with no inline code, so that avx2.cpp, the source compiled for AVX2, can take
//   it.
#ifndef DSP_SQUARESUM_H
#define DSP_SQUARESUM_H

namespace dsp {

// RealFft::powerSpectrum advances it between its own steps. The sum is a chain of dependent double
// additions, so on its own it runs at one addition per adder latency while the adders sit idle;
// interleaved with the transform's independent work it costs little.
struct SquareSum {
    const float* next = nullptr;
    const float* end = nullptr;
    double sum = 0.0;
};

} // namespace dsp

#endif
