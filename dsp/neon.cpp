#include "dsp/neon.h"

#include <arm_neon.h>

namespace dsp::neon {

namespace {

    // Samples of the side sum per step of each kernel, about what the step's own work takes at
    // one addition per adder latency.
    constexpr long kLoadSquares = 6;
    constexpr long kPairSquares = 3;
    constexpr long kSplitSquares = 2;

    // Adds the squares of the next `count` samples of a SquareSum when that many are left (the
    // rest falls to powerSpectrum's tail), with the sum's state held in the caller's locals so it
    // stays in registers. count is a constant, so the loop unrolls.
    inline void addSquares(const float*& next, const float* end, double& sum, long count)
    {
        if (end - next < count)
            return;
        for (long j = 0; j < count; ++j) {
            const double x = next[j];
            sum += x * x;
        }
        next += count;
    }

    // Four independent butterflies, one per lane: t = w * b, then b = a - t and a = a + t.
    inline void butterflies(float32x4_t& ar, float32x4_t& ai, float32x4_t& br, float32x4_t& bi,
        const float32x4_t wr, const float32x4_t wi)
    {
        const float32x4_t tr = vsubq_f32(vmulq_f32(wr, br), vmulq_f32(wi, bi));
        const float32x4_t ti = vaddq_f32(vmulq_f32(wr, bi), vmulq_f32(wi, br));
        br = vsubq_f32(ar, tr);
        bi = vsubq_f32(ai, ti);
        ar = vaddq_f32(ar, tr);
        ai = vaddq_f32(ai, ti);
    }

    // Transposes the 4 x 4 block whose rows are x0..x3.
    inline void transpose(float32x4_t& x0, float32x4_t& x1, float32x4_t& x2, float32x4_t& x3)
    {
        const float32x4_t t0 = vtrn1q_f32(x0, x1);
        const float32x4_t t1 = vtrn2q_f32(x0, x1);
        const float32x4_t t2 = vtrn1q_f32(x2, x3);
        const float32x4_t t3 = vtrn2q_f32(x2, x3);
        x0 = vreinterpretq_f32_f64(
            vtrn1q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
        x1 = vreinterpretq_f32_f64(
            vtrn1q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
        x2 = vreinterpretq_f32_f64(
            vtrn2q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
        x3 = vreinterpretq_f32_f64(
            vtrn2q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
    }

    // Lanes 3, 2, 1, 0 of x.
    inline float32x4_t reversed(const float32x4_t x)
    {
        const float32x4_t pairs = vrev64q_f32(x);
        return vextq_f32(pairs, pairs, 2);
    }

} // namespace

std::size_t multiply(const float* a, const float* b, float* out, std::size_t n)
{
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4)
        vst1q_f32(out + i, vmulq_f32(vld1q_f32(a + i), vld1q_f32(b + i)));
    return i;
}

// Group g (positions 4g..4g+3) takes the inputs r, r + m/2, r + m/4 and r + 3m/4 with
// r = bitRev[4g]; four consecutive r are worked side by side, one per lane, and a transpose puts
// each lane's four results into its own group 4 bitRev[4r].
void loadWithFirstStages(const float* in, const std::int32_t* bitRev, int m, const float* stageCos,
    const float* stageSin, float* re, float* im, SquareSum& side)
{
    const float* next = side.next;
    double sum = side.sum;
    const float32x4_t c1 = vdupq_n_f32(stageCos[1]);
    const float32x4_t s1 = vdupq_n_f32(stageSin[1]);
    const float32x4_t c2 = vdupq_n_f32(stageCos[2]);
    const float32x4_t s2 = vdupq_n_f32(stageSin[2]);
    const float32x4_t c3 = vdupq_n_f32(stageCos[3]);
    const float32x4_t s3 = vdupq_n_f32(stageSin[3]);
    const int quarter = m / 4;
    for (int r = 0; r < quarter; r += 4) {
        addSquares(next, side.end, sum, kLoadSquares);
        // vld2q splits four interleaved complex values into their parts.
        const float32x4x2_t x0 = vld2q_f32(in + 2 * r);
        const float32x4x2_t x1 = vld2q_f32(in + 2 * (r + 2 * quarter));
        const float32x4x2_t x2 = vld2q_f32(in + 2 * (r + quarter));
        const float32x4x2_t x3 = vld2q_f32(in + 2 * (r + 3 * quarter));
        float32x4_t r0 = x0.val[0], i0 = x0.val[1];
        float32x4_t r1 = x1.val[0], i1 = x1.val[1];
        float32x4_t r2 = x2.val[0], i2 = x2.val[1];
        float32x4_t r3 = x3.val[0], i3 = x3.val[1];
        butterflies(r0, i0, r1, i1, c1, s1);
        butterflies(r2, i2, r3, i3, c1, s1);
        butterflies(r0, i0, r2, i2, c2, s2);
        butterflies(r1, i1, r3, i3, c3, s3);
        transpose(r0, r1, r2, r3);
        transpose(i0, i1, i2, i3);
        const int g0 = 4 * bitRev[4 * r];
        const int g1 = 4 * bitRev[4 * (r + 1)];
        const int g2 = 4 * bitRev[4 * (r + 2)];
        const int g3 = 4 * bitRev[4 * (r + 3)];
        vst1q_f32(re + g0, r0);
        vst1q_f32(im + g0, i0);
        vst1q_f32(re + g1, r1);
        vst1q_f32(im + g1, i1);
        vst1q_f32(re + g2, r2);
        vst1q_f32(im + g2, i2);
        vst1q_f32(re + g3, r3);
        vst1q_f32(im + g3, i3);
    }
    side.next = next;
    side.sum = sum;
}

// The two stages' butterflies in the order of realfft.cpp's SSE2 stagePair.
void stagePair(float* re, float* im, int m, int h, const float* stageCos, const float* stageSin,
    SquareSum& side)
{
    const float* next = side.next;
    double sum = side.sum;
    const float* c1 = stageCos + h;
    const float* s1 = stageSin + h;
    const float* c2 = stageCos + 2 * h;
    const float* s2 = stageSin + 2 * h;
    for (int s = 0; s < m; s += 4 * h) {
        for (int k = 0; k < h; k += 4) {
            addSquares(next, side.end, sum, kPairSquares);
            float* r = re + s + k;
            float* i = im + s + k;
            float32x4_t r0 = vld1q_f32(r);
            float32x4_t i0 = vld1q_f32(i);
            float32x4_t r1 = vld1q_f32(r + h);
            float32x4_t i1 = vld1q_f32(i + h);
            float32x4_t r2 = vld1q_f32(r + 2 * h);
            float32x4_t i2 = vld1q_f32(i + 2 * h);
            float32x4_t r3 = vld1q_f32(r + 3 * h);
            float32x4_t i3 = vld1q_f32(i + 3 * h);
            const float32x4_t w1r = vld1q_f32(c1 + k);
            const float32x4_t w1i = vld1q_f32(s1 + k);
            butterflies(r0, i0, r1, i1, w1r, w1i);
            butterflies(r2, i2, r3, i3, w1r, w1i);
            butterflies(r0, i0, r2, i2, vld1q_f32(c2 + k), vld1q_f32(s2 + k));
            butterflies(r1, i1, r3, i3, vld1q_f32(c2 + k + h), vld1q_f32(s2 + k + h));
            vst1q_f32(r, r0);
            vst1q_f32(i, i0);
            vst1q_f32(r + h, r1);
            vst1q_f32(i + h, i1);
            vst1q_f32(r + 2 * h, r2);
            vst1q_f32(i + 2 * h, i2);
            vst1q_f32(r + 3 * h, r3);
            vst1q_f32(i + 3 * h, i3);
        }
    }
    side.next = next;
    side.sum = sum;
}

void stage(float* re, float* im, int m, int h, const float* wr, const float* wi)
{
    for (int s = 0; s < m; s += 2 * h) {
        for (int k = 0; k < h; k += 4) {
            float* ra = re + s + k;
            float* ia = im + s + k;
            float32x4_t ar = vld1q_f32(ra);
            float32x4_t ai = vld1q_f32(ia);
            float32x4_t br = vld1q_f32(ra + h);
            float32x4_t bi = vld1q_f32(ia + h);
            butterflies(ar, ai, br, bi, vld1q_f32(wr + k), vld1q_f32(wi + k));
            vst1q_f32(ra, ar);
            vst1q_f32(ia, ai);
            vst1q_f32(ra + h, br);
            vst1q_f32(ia + h, bi);
        }
    }
}

// Bins k..k+3 pair with m-k..m-k-3, read as one vector and reversed; each lane evaluates the
// scalar split expressions of RealFft::powerSpectrum on the same values.
int splitInner(const float* re, const float* im, int m, const float* splitCos,
    const float* splitSin, float scale, float* power, SquareSum& side)
{
    const float* next = side.next;
    double sum = side.sum;
    const float32x4_t half = vdupq_n_f32(0.5f);
    const float32x4_t minusHalf = vdupq_n_f32(-0.5f);
    const float32x4_t scaleBy = vdupq_n_f32(scale);
    int k = 1;
    for (; k + 3 < m; k += 4) {
        addSquares(next, side.end, sum, kSplitSquares);
        const float32x4_t ra = vld1q_f32(re + k);
        const float32x4_t ia = vld1q_f32(im + k);
        const float32x4_t rb = reversed(vld1q_f32(re + m - k - 3));
        const float32x4_t ib = reversed(vld1q_f32(im + m - k - 3));
        const float32x4_t f = vmulq_f32(vaddq_f32(ib, ia), half);
        const float32x4_t g = vmulq_f32(vsubq_f32(ra, rb), minusHalf);
        const float32x4_t c = vld1q_f32(splitCos + k);
        const float32x4_t s = vld1q_f32(splitSin + k);
        const float32x4_t xr = vaddq_f32(
            vsubq_f32(vmulq_f32(c, f), vmulq_f32(s, g)), vmulq_f32(vaddq_f32(rb, ra), half));
        const float32x4_t xi = vaddq_f32(
            vaddq_f32(vmulq_f32(c, g), vmulq_f32(s, f)), vmulq_f32(vsubq_f32(ia, ib), half));
        const float32x4_t magnitude
            = vmulq_f32(vsqrtq_f32(vaddq_f32(vmulq_f32(xi, xi), vmulq_f32(xr, xr))), scaleBy);
        vst1q_f32(power + k, vmulq_f32(magnitude, magnitude));
    }
    side.next = next;
    side.sum = sum;
    return k;
}

} // namespace dsp::neon
