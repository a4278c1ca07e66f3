// The eight-lane AVX2 kernels: fftkernels.h over AVX registers. The one source compiled for AVX2
// (without FMA, without contraction); simd::active() decides at run time whether it runs.
#include "dsp/fftkernels.h"

#include <immintrin.h>

namespace dsp::fft::avx2 {

namespace {

    struct Lanes : LaneShape<8, 16, 4, 4> {
        // The complex split shuffles within each 128-bit half.
        static constexpr int kLoadOrder[kWidth] = { 0, 1, 4, 5, 2, 3, 6, 7 };

        __m256 v;

        Lanes() = default;
        Lanes(__m256 x)
            : v(x)
        {
        }

        static Lanes load(const float* p) { return { _mm256_loadu_ps(p) }; }
        static Lanes broadcast(float x) { return { _mm256_set1_ps(x) }; }
        void store(float* p) const { _mm256_storeu_ps(p, v); }

        static void loadComplex(const float* p, Lanes& re, Lanes& im)
        {
            const __m256 lo = _mm256_loadu_ps(p);
            const __m256 hi = _mm256_loadu_ps(p + 8);
            re.v = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
            im.v = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
        }

        // Afterwards x[l] holds lane l of every former row, in row order.
        static void transpose(Lanes (&x)[kWidth])
        {
            const __m256 t0 = _mm256_unpacklo_ps(x[0].v, x[1].v);
            const __m256 t1 = _mm256_unpackhi_ps(x[0].v, x[1].v);
            const __m256 t2 = _mm256_unpacklo_ps(x[2].v, x[3].v);
            const __m256 t3 = _mm256_unpackhi_ps(x[2].v, x[3].v);
            const __m256 t4 = _mm256_unpacklo_ps(x[4].v, x[5].v);
            const __m256 t5 = _mm256_unpackhi_ps(x[4].v, x[5].v);
            const __m256 t6 = _mm256_unpacklo_ps(x[6].v, x[7].v);
            const __m256 t7 = _mm256_unpackhi_ps(x[6].v, x[7].v);
            const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
            const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
            const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
            x[0].v = _mm256_permute2f128_ps(u0, u4, 0x20);
            x[1].v = _mm256_permute2f128_ps(u1, u5, 0x20);
            x[2].v = _mm256_permute2f128_ps(u2, u6, 0x20);
            x[3].v = _mm256_permute2f128_ps(u3, u7, 0x20);
            x[4].v = _mm256_permute2f128_ps(u0, u4, 0x31);
            x[5].v = _mm256_permute2f128_ps(u1, u5, 0x31);
            x[6].v = _mm256_permute2f128_ps(u2, u6, 0x31);
            x[7].v = _mm256_permute2f128_ps(u3, u7, 0x31);
        }

        friend Lanes operator+(Lanes a, Lanes b) { return { _mm256_add_ps(a.v, b.v) }; }
        friend Lanes operator-(Lanes a, Lanes b) { return { _mm256_sub_ps(a.v, b.v) }; }
        friend Lanes operator*(Lanes a, Lanes b) { return { _mm256_mul_ps(a.v, b.v) }; }
        friend Lanes sqrt(Lanes a) { return { _mm256_sqrt_ps(a.v) }; }
        friend Lanes reversed(Lanes a)
        {
            return { _mm256_permutevar8x32_ps(a.v, _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0)) };
        }
    };

} // namespace

// Below 64 points the four-lane kernels take over.
const KernelTable kTable = Kernels<Lanes>::table(&sse2::kTable);

} // namespace dsp::fft::avx2
