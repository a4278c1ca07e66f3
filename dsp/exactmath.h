// The elementary functions whose results reach a frame, computed by the core itself.
//
// Why: C libraries round these differently from one release to the next (a correctly rounded
// log10f moves one ulp against an older one for many inputs), and a frame promises the same bits
// on every machine. These use only IEEE-754 basic operations (+ - * /, exact conversions and bit
// moves), compiled without contraction like the rest of the core, so they give the same bits on
// every C library, compiler and CPU.
//
// Contract:
// - Float functions compute in double and round once: within 1 ulp of the true result (nearly
//   always the correctly rounded one). Double functions: within 2 ulp.
// - Edge inputs of the logarithms and exactExp as C's functions give them: log of 0 is -inf, of
//   a negative number NaN, of +inf +inf; NaN in gives NaN out. exactPow takes what the band map
//   forms, a positive finite base to a finite power, and gives NaN for anything else (C's pow
//   rules for zeros, infinities and negative bases serve no caller). Subnormal inputs count at
//   their exact value, never flushed to zero.
// - exactSin and exactCos hold their bound for |x| <= 2^20, far beyond the angles the core forms
//   (at most 2 pi); larger arguments, infinities and NaN give NaN.
// - No allocation, no state, no errno: safe on the audio path and from any thread.
#ifndef DSP_EXACTMATH_H
#define DSP_EXACTMATH_H

#include "dsp/export.h"

namespace dsp {

BANDCORE_API float exactLog10(float x);
BANDCORE_API double exactLog10(double x);
BANDCORE_API float exactLog2(float x);
BANDCORE_API float exactPow(float x, float y);
BANDCORE_API float exactExp(float x);
BANDCORE_API double exactSin(double x);
BANDCORE_API double exactCos(double x);

} // namespace dsp

#endif
