// The transform's kernels of one instruction set, as a table of plain functions, and the tables
// this build holds. RealFft looks a table up once per call, from simd::active(), and calls through
// it; nothing else in the core asks which instruction set runs.
//
// Contract:
// - Every kernel does, lane by lane, exactly the scalar operations in the scalar order, without
//   fused multiply-adds, so every table computes the same bits (fftkernels.h has the kernels).
// - Each kernel has a smallest size it serves (stated per member); below it the caller goes on to
//   `narrower`, the table one step narrower, down to the scalar table, which serves every size.
// - The transform's kernels also advance a SquareSum by a few samples per step, never past its
//   end.
// - A plain struct with no inline code, so that avx2.cpp, the source compiled for AVX2, can take
//   it.
#ifndef DSP_KERNELTABLE_H
#define DSP_KERNELTABLE_H

#include "dsp/squaresum.h"

#include <cstddef>
#include <cstdint>

namespace dsp::fft {

struct KernelTable {
    // Lanes per vector: 1 scalar, 4 SSE2 and NEON, 8 AVX2.
    int width;
    // The table to go on with where this one's kernels stop; null for the scalar table.
    const KernelTable* narrower;
    // out[i] = a[i] * b[i] from i = from while width more fit below n; returns the first i left.
    std::size_t (*multiply)(
        const float* a, const float* b, float* out, std::size_t from, std::size_t n);
    // The bit-reversed load of m complex values (interleaved re, im), m >= width^2, with the
    // stages of half-length 1, 2, ... width / 2 run on the way. stageCos/stageSin are RealFft's
    // per-stage twiddle tables.
    void (*loadWithFirstStages)(const float* in, const std::int32_t* bitRev, int m,
        const float* stageCos, const float* stageSin, float* re, float* im, SquareSum& side);
    // The stages of half-length h and 2h in one sweep over m points; h >= width and 4h <= m.
    void (*stagePair)(float* re, float* im, int m, int h, const float* stageCos,
        const float* stageSin, SquareSum& side);
    // One stage of half-length h >= width over m points, twiddle k at wr[k], wi[k].
    void (*stage)(float* re, float* im, int m, int h, const float* wr, const float* wi);
    // The split step and scaling to power for the inner bins from k = from on, width at a time
    // while they end below m; returns the first bin left to do.
    int (*splitInner)(const float* re, const float* im, int m, int from, const float* splitCos,
        const float* splitSin, float scale, float* power, SquareSum& side);
};

// One namespace per instruction set; each source defines the tables it compiles.
namespace scalar {
    extern const KernelTable kTable;
}
namespace sse2 {
    extern const KernelTable kTable;
}
namespace avx2 {
    extern const KernelTable kTable;
}
namespace neon {
    extern const KernelTable kTable;
}

} // namespace dsp::fft

#endif
