// The eight-lane (AVX2) kernels of the core, for the callers that simd::active() sends here.
//
// Contract:
// - Each kernel does, lane by lane, exactly the scalar operations of the loop it stands for, in the
//   same order, without fused multiply-adds, so its results are the scalar results bit for bit.
// - Only call them when simd::available(Path::Avx2): avx2.cpp is the one source compiled for AVX2,
//   and it uses nothing but these functions and the compiler's intrinsics, so no AVX2 code can leak
//   into a shared inline function that the rest of the program links.
// - The arguments are plain arrays; the size conditions are stated per kernel.
#ifndef DSP_AVX2_H
#define DSP_AVX2_H

#include "dsp/squaresum.h"

#include <cstddef>
#include <cstdint>

// The transform's kernels also advance a SquareSum by a few samples per step (RealFft explains
// why), never past its end.
namespace dsp::avx2 {

// out[i] = a[i] * b[i] for i below n rounded down to a multiple of 8; returns that count.
std::size_t multiply(const float* a, const float* b, float* out, std::size_t n);

// The radix-2 transform's bit-reversed load of m complex values (interleaved re, im), m >= 64, with
// the stages of half-length 1, 2 and 4 run on the way. stageCos/stageSin are RealFft's per-stage
// twiddle tables.
void loadWithFirstStages(const float* in, const std::int32_t* bitRev, int m, const float* stageCos,
    const float* stageSin, float* re, float* im, SquareSum& side);
// The stages of half-length h and 2h in one sweep over m points; h >= 8 and 4h <= m.
void stagePair(float* re, float* im, int m, int h, const float* stageCos, const float* stageSin,
    SquareSum& side);
// One stage of half-length h >= 8 over m points, twiddle k at wr[k], wi[k].
void stage(float* re, float* im, int m, int h, const float* wr, const float* wi);
// The split step and scaling to power for the inner bins k = 1, 2, ... in groups of eight while
// k + 7 < m; returns the first bin left to do.
int splitInner(const float* re, const float* im, int m, const float* splitCos,
    const float* splitSin, float scale, float* power, SquareSum& side);

} // namespace dsp::avx2

#endif
