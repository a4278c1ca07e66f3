// The one place that decides how wide the core's kernels run.
//
// Contract:
// - Path names the kernel sets: Scalar (the portable loops, in every build), Sse2 (four lanes,
//   every x86-64 build), Avx2 (eight lanes, x86-64 builds on a CPU that reports AVX2 and an OS
//   that saves its registers) and Neon (four lanes, every aarch64 build).
// - Every path gives the same bits: each lane does the scalar operations in the scalar order, and
//   nothing fuses a multiply with an add.
// - active() is the path the kernels take: the widest available one, found on first use from the
//   CPU's own report (no rebuild, no -march), unless a test forced another. The core reads no
//   environment variables or settings.
// - A build configured with BANDCORE_SIMD=OFF defines DSP_NO_SIMD: only Scalar is available. The
//   DSP_SIMD_* macros below say which vector kernels the core's own sources compile.
// - forcePath() is for tests, which run every available path on one machine; it is not meant to
//   be called while another thread runs the core.
#ifndef DSP_SIMD_H
#define DSP_SIMD_H

#include "dsp/export.h"

#if !defined(DSP_NO_SIMD) && defined(__SSE2__) && defined(__x86_64__)
#define DSP_SIMD_X86 1
#endif
#if !defined(DSP_NO_SIMD) && defined(__aarch64__) && defined(__ARM_NEON)
#define DSP_SIMD_NEON 1
#endif

namespace dsp::simd {

enum class Path : int { Scalar, Sse2, Avx2, Neon };

// Whether this build and this CPU can run the path.
BANDCORE_API bool available(Path path);
// The widest available path.
BANDCORE_API Path best();
// The path the kernels take now.
BANDCORE_API Path active();
// Test hook: makes every later kernel call take `path`. Returns false, changing nothing, when the
// path is not available.
BANDCORE_API bool forcePath(Path path);
// "scalar", "sse2", "avx2" or "neon".
BANDCORE_API const char* name(Path path);

} // namespace dsp::simd

#endif
