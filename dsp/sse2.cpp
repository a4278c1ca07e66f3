// The four-lane SSE2 kernels, part of every x86-64 CPU: fftkernels.h over SSE registers.
#include "dsp/fftkernels.h"

#include <emmintrin.h>

namespace dsp::fft::sse2 {

namespace {

    struct Lanes : LaneShape<4, 6, 3, 2> {
        static constexpr int kLoadOrder[kWidth] = { 0, 1, 2, 3 };

        __m128 v;

        Lanes() = default;
        Lanes(__m128 x)
            : v(x)
        {
        }

        static Lanes load(const float* p) { return { _mm_loadu_ps(p) }; }
        static Lanes broadcast(float x) { return { _mm_set1_ps(x) }; }
        void store(float* p) const { _mm_storeu_ps(p, v); }

        static void loadComplex(const float* p, Lanes& re, Lanes& im)
        {
            const __m128 lo = _mm_loadu_ps(p);
            const __m128 hi = _mm_loadu_ps(p + 4);
            re.v = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
            im.v = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
        }

        static void transpose(Lanes (&x)[kWidth])
        {
            _MM_TRANSPOSE4_PS(x[0].v, x[1].v, x[2].v, x[3].v);
        }

        friend Lanes operator+(Lanes a, Lanes b) { return { _mm_add_ps(a.v, b.v) }; }
        friend Lanes operator-(Lanes a, Lanes b) { return { _mm_sub_ps(a.v, b.v) }; }
        friend Lanes operator*(Lanes a, Lanes b) { return { _mm_mul_ps(a.v, b.v) }; }
        friend Lanes sqrt(Lanes a) { return { _mm_sqrt_ps(a.v) }; }
        friend Lanes reversed(Lanes a)
        {
            return { _mm_shuffle_ps(a.v, a.v, _MM_SHUFFLE(0, 1, 2, 3)) };
        }
    };

} // namespace

const KernelTable kTable = Kernels<Lanes>::table(&scalar::kTable);

} // namespace dsp::fft::sse2
