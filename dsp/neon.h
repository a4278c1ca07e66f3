// The four-lane NEON kernels of the core on aarch64, for the callers that simd::active() sends
// here; the counterparts of the SSE2 loops in realfft.cpp.
//
// Contract:
// - Each kernel does, lane by lane, exactly the scalar operations of the loop it stands for, in the
//   same order, without fused multiply-adds (the core is built with -ffp-contract=off), so its
//   results are the scalar results bit for bit. AArch64's vector arithmetic is IEEE single
//   precision with subnormals kept, like its scalar arithmetic.
// - NEON is part of every aarch64 CPU: no run-time check is needed.
// - The transform's kernels also advance a SquareSum by a few samples per step, never past its end.
#ifndef DSP_NEON_H
#define DSP_NEON_H

#include "dsp/squaresum.h"

#include <cstddef>
#include <cstdint>

namespace dsp::neon {

// out[i] = a[i] * b[i] for i below n rounded down to a multiple of 4; returns that count.
std::size_t multiply(const float* a, const float* b, float* out, std::size_t n);
// The bit-reversed load of m complex values (interleaved re, im), m >= 16, with the stages of
// half-length 1 and 2 run on the way.
void loadWithFirstStages(const float* in, const std::int32_t* bitRev, int m, const float* stageCos,
    const float* stageSin, float* re, float* im, SquareSum& side);
// The stages of half-length h and 2h in one sweep over m points; h >= 4 and 4h <= m.
void stagePair(float* re, float* im, int m, int h, const float* stageCos, const float* stageSin,
    SquareSum& side);
// One stage of half-length h >= 4 over m points, twiddle k at wr[k], wi[k].
void stage(float* re, float* im, int m, int h, const float* wr, const float* wi);
// The split step and scaling to power for the inner bins k = 1, 2, ... in groups of four while
// k + 3 < m; returns the first bin left to do.
int splitInner(const float* re, const float* im, int m, const float* splitCos,
    const float* splitSin, float scale, float* power, SquareSum& side);

} // namespace dsp::neon

#endif
