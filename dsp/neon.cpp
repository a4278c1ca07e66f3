// The four-lane NEON kernels, part of every aarch64 CPU: fftkernels.h over NEON registers.
// AArch64's vector arithmetic is IEEE single precision with subnormals kept, like its scalar
// arithmetic, so these give the scalar bits too.
#include "dsp/fftkernels.h"

#include <arm_neon.h>

namespace dsp::fft::neon {

namespace {

    struct Lanes : LaneShape<4, 6, 3, 2> {
        static constexpr int kLoadOrder[kWidth] = { 0, 1, 2, 3 };

        float32x4_t v;

        Lanes() = default;
        Lanes(float32x4_t x)
            : v(x)
        {
        }

        static Lanes load(const float* p) { return { vld1q_f32(p) }; }
        static Lanes broadcast(float x) { return { vdupq_n_f32(x) }; }
        void store(float* p) const { vst1q_f32(p, v); }

        static void loadComplex(const float* p, Lanes& re, Lanes& im)
        {
            const float32x4x2_t x = vld2q_f32(p);
            re.v = x.val[0];
            im.v = x.val[1];
        }

        static void transpose(Lanes (&x)[kWidth])
        {
            const float64x2_t t0 = vreinterpretq_f64_f32(vtrn1q_f32(x[0].v, x[1].v));
            const float64x2_t t1 = vreinterpretq_f64_f32(vtrn2q_f32(x[0].v, x[1].v));
            const float64x2_t t2 = vreinterpretq_f64_f32(vtrn1q_f32(x[2].v, x[3].v));
            const float64x2_t t3 = vreinterpretq_f64_f32(vtrn2q_f32(x[2].v, x[3].v));
            x[0].v = vreinterpretq_f32_f64(vtrn1q_f64(t0, t2));
            x[1].v = vreinterpretq_f32_f64(vtrn1q_f64(t1, t3));
            x[2].v = vreinterpretq_f32_f64(vtrn2q_f64(t0, t2));
            x[3].v = vreinterpretq_f32_f64(vtrn2q_f64(t1, t3));
        }

        friend Lanes operator+(Lanes a, Lanes b) { return { vaddq_f32(a.v, b.v) }; }
        friend Lanes operator-(Lanes a, Lanes b) { return { vsubq_f32(a.v, b.v) }; }
        friend Lanes operator*(Lanes a, Lanes b) { return { vmulq_f32(a.v, b.v) }; }
        friend Lanes sqrt(Lanes a) { return { vsqrtq_f32(a.v) }; }
        friend Lanes reversed(Lanes a)
        {
            const float32x4_t pairs = vrev64q_f32(a.v);
            return { vextq_f32(pairs, pairs, 2) };
        }
    };

} // namespace

const KernelTable kTable = Kernels<Lanes>::table(&scalar::kTable);

} // namespace dsp::fft::neon
