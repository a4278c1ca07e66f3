#include "dsp/avx2.h"

#include <immintrin.h>

namespace dsp::avx2 {

namespace {

    // Samples of the side sum per step of each kernel, about what the step's own work takes at
    // one addition per adder latency.
    constexpr long kLoadSquares = 16;
    constexpr long kPairSquares = 4;
    constexpr long kSplitSquares = 4;

    // Eight independent butterflies, one per lane: t = w * b, then b = a - t and a = a + t.
    inline void butterflies(
        __m256& ar, __m256& ai, __m256& br, __m256& bi, const __m256 wr, const __m256 wi)
    {
        const __m256 tr = _mm256_sub_ps(_mm256_mul_ps(wr, br), _mm256_mul_ps(wi, bi));
        const __m256 ti = _mm256_add_ps(_mm256_mul_ps(wr, bi), _mm256_mul_ps(wi, br));
        br = _mm256_sub_ps(ar, tr);
        bi = _mm256_sub_ps(ai, ti);
        ar = _mm256_add_ps(ar, tr);
        ai = _mm256_add_ps(ai, ti);
    }

    inline void butterflies(
        __m256& ar, __m256& ai, __m256& br, __m256& bi, const float* wr, const float* wi)
    {
        butterflies(ar, ai, br, bi, _mm256_broadcast_ss(wr), _mm256_broadcast_ss(wi));
    }

    // Splits eight interleaved complex values into their parts. The shuffle works within each
    // 128-bit half, so lane l holds value kLoadOrder[l]: 0, 1, 4, 5, 2, 3, 6, 7.
    inline void loadComplex(const float* p, __m256& re, __m256& im)
    {
        const __m256 lo = _mm256_loadu_ps(p);
        const __m256 hi = _mm256_loadu_ps(p + 8);
        re = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        im = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
    }

    // Transposes the 8 x 8 block whose rows are x0..x7: afterwards xl holds lane l of every former
    // row, in row order.
    inline void transpose(__m256& x0, __m256& x1, __m256& x2, __m256& x3, __m256& x4, __m256& x5,
        __m256& x6, __m256& x7)
    {
        const __m256 t0 = _mm256_unpacklo_ps(x0, x1);
        const __m256 t1 = _mm256_unpackhi_ps(x0, x1);
        const __m256 t2 = _mm256_unpacklo_ps(x2, x3);
        const __m256 t3 = _mm256_unpackhi_ps(x2, x3);
        const __m256 t4 = _mm256_unpacklo_ps(x4, x5);
        const __m256 t5 = _mm256_unpackhi_ps(x4, x5);
        const __m256 t6 = _mm256_unpacklo_ps(x6, x7);
        const __m256 t7 = _mm256_unpackhi_ps(x6, x7);
        const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
        const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
        const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
        x0 = _mm256_permute2f128_ps(u0, u4, 0x20);
        x1 = _mm256_permute2f128_ps(u1, u5, 0x20);
        x2 = _mm256_permute2f128_ps(u2, u6, 0x20);
        x3 = _mm256_permute2f128_ps(u3, u7, 0x20);
        x4 = _mm256_permute2f128_ps(u0, u4, 0x31);
        x5 = _mm256_permute2f128_ps(u1, u5, 0x31);
        x6 = _mm256_permute2f128_ps(u2, u6, 0x31);
        x7 = _mm256_permute2f128_ps(u3, u7, 0x31);
    }

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

} // namespace

std::size_t multiply(const float* a, const float* b, float* out, std::size_t n)
{
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
    return i;
}

// Position p = 8g + j of the bit-reversed order holds input r + rev3(j) m/8 with r = bitRev[8g]
// (rev3 reverses three bits), so group g is the eight inputs r, r + m/2, r + m/4, r + 3m/4, ...
// and the first three stages stay inside it. Eight consecutive r run side by side, one per lane;
// the transpose then gives each lane's eight results to its own group, bitRev[8r] from the start.
void loadWithFirstStages(const float* in, const std::int32_t* bitRev, int m, const float* stageCos,
    const float* stageSin, float* re, float* im, SquareSum& side)
{
    const float* next = side.next;
    double sum = side.sum;
    const int eighth = m / 8;
    for (int r = 0; r < eighth; r += 8) {
        addSquares(next, side.end, sum, kLoadSquares);
        // rj, ij: position j of each lane's group, input r + rev3(j) m/8.
        __m256 r0, i0, r1, i1, r2, i2, r3, i3, r4, i4, r5, i5, r6, i6, r7, i7;
        loadComplex(in + 2 * r, r0, i0);
        loadComplex(in + 2 * (r + 4 * eighth), r1, i1);
        loadComplex(in + 2 * (r + 2 * eighth), r2, i2);
        loadComplex(in + 2 * (r + 6 * eighth), r3, i3);
        loadComplex(in + 2 * (r + eighth), r4, i4);
        loadComplex(in + 2 * (r + 5 * eighth), r5, i5);
        loadComplex(in + 2 * (r + 3 * eighth), r6, i6);
        loadComplex(in + 2 * (r + 7 * eighth), r7, i7);
        // Half-length 1: twiddle 0 of its stage.
        butterflies(r0, i0, r1, i1, stageCos + 1, stageSin + 1);
        butterflies(r2, i2, r3, i3, stageCos + 1, stageSin + 1);
        butterflies(r4, i4, r5, i5, stageCos + 1, stageSin + 1);
        butterflies(r6, i6, r7, i7, stageCos + 1, stageSin + 1);
        // Half-length 2: twiddles 0 and 1.
        butterflies(r0, i0, r2, i2, stageCos + 2, stageSin + 2);
        butterflies(r1, i1, r3, i3, stageCos + 3, stageSin + 3);
        butterflies(r4, i4, r6, i6, stageCos + 2, stageSin + 2);
        butterflies(r5, i5, r7, i7, stageCos + 3, stageSin + 3);
        // Half-length 4: twiddles 0..3.
        butterflies(r0, i0, r4, i4, stageCos + 4, stageSin + 4);
        butterflies(r1, i1, r5, i5, stageCos + 5, stageSin + 5);
        butterflies(r2, i2, r6, i6, stageCos + 6, stageSin + 6);
        butterflies(r3, i3, r7, i7, stageCos + 7, stageSin + 7);
        transpose(r0, r1, r2, r3, r4, r5, r6, r7);
        transpose(i0, i1, i2, i3, i4, i5, i6, i7);
        // Lane l holds the group of r + kLoadOrder[l].
        const std::int32_t* groups = bitRev + 8 * r;
        _mm256_storeu_ps(re + 8 * groups[0], r0);
        _mm256_storeu_ps(im + 8 * groups[0], i0);
        _mm256_storeu_ps(re + 8 * groups[8], r1);
        _mm256_storeu_ps(im + 8 * groups[8], i1);
        _mm256_storeu_ps(re + 8 * groups[32], r2);
        _mm256_storeu_ps(im + 8 * groups[32], i2);
        _mm256_storeu_ps(re + 8 * groups[40], r3);
        _mm256_storeu_ps(im + 8 * groups[40], i3);
        _mm256_storeu_ps(re + 8 * groups[16], r4);
        _mm256_storeu_ps(im + 8 * groups[16], i4);
        _mm256_storeu_ps(re + 8 * groups[24], r5);
        _mm256_storeu_ps(im + 8 * groups[24], i5);
        _mm256_storeu_ps(re + 8 * groups[48], r6);
        _mm256_storeu_ps(im + 8 * groups[48], i6);
        _mm256_storeu_ps(re + 8 * groups[56], r7);
        _mm256_storeu_ps(im + 8 * groups[56], i7);
    }
    side.next = next;
    side.sum = sum;
}

// Points p, p + h, p + 2h, p + 3h of a block of 4h meet in pairs (p, p + h) and (p + 2h, p + 3h)
// with twiddle k of stage h, then (p, p + 2h) and (p + h, p + 3h) with twiddles k and k + h of
// stage 2h: the butterflies of both stages, in an order that keeps every dependency.
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
        for (int k = 0; k < h; k += 8) {
            addSquares(next, side.end, sum, kPairSquares);
            float* r = re + s + k;
            float* i = im + s + k;
            __m256 r0 = _mm256_loadu_ps(r);
            __m256 i0 = _mm256_loadu_ps(i);
            __m256 r1 = _mm256_loadu_ps(r + h);
            __m256 i1 = _mm256_loadu_ps(i + h);
            __m256 r2 = _mm256_loadu_ps(r + 2 * h);
            __m256 i2 = _mm256_loadu_ps(i + 2 * h);
            __m256 r3 = _mm256_loadu_ps(r + 3 * h);
            __m256 i3 = _mm256_loadu_ps(i + 3 * h);
            const __m256 w1r = _mm256_loadu_ps(c1 + k);
            const __m256 w1i = _mm256_loadu_ps(s1 + k);
            butterflies(r0, i0, r1, i1, w1r, w1i);
            butterflies(r2, i2, r3, i3, w1r, w1i);
            butterflies(r0, i0, r2, i2, _mm256_loadu_ps(c2 + k), _mm256_loadu_ps(s2 + k));
            butterflies(r1, i1, r3, i3, _mm256_loadu_ps(c2 + k + h), _mm256_loadu_ps(s2 + k + h));
            _mm256_storeu_ps(r, r0);
            _mm256_storeu_ps(i, i0);
            _mm256_storeu_ps(r + h, r1);
            _mm256_storeu_ps(i + h, i1);
            _mm256_storeu_ps(r + 2 * h, r2);
            _mm256_storeu_ps(i + 2 * h, i2);
            _mm256_storeu_ps(r + 3 * h, r3);
            _mm256_storeu_ps(i + 3 * h, i3);
        }
    }
    side.next = next;
    side.sum = sum;
}

void stage(float* re, float* im, int m, int h, const float* wr, const float* wi)
{
    for (int s = 0; s < m; s += 2 * h) {
        for (int k = 0; k < h; k += 8) {
            float* ra = re + s + k;
            float* ia = im + s + k;
            __m256 ar = _mm256_loadu_ps(ra);
            __m256 ai = _mm256_loadu_ps(ia);
            __m256 br = _mm256_loadu_ps(ra + h);
            __m256 bi = _mm256_loadu_ps(ia + h);
            butterflies(ar, ai, br, bi, _mm256_loadu_ps(wr + k), _mm256_loadu_ps(wi + k));
            _mm256_storeu_ps(ra, ar);
            _mm256_storeu_ps(ia, ai);
            _mm256_storeu_ps(ra + h, br);
            _mm256_storeu_ps(ia + h, bi);
        }
    }
}

// Bins k..k+7 pair with m-k..m-k-7, read as one vector and reversed; each lane evaluates the
// scalar split expressions of RealFft::powerSpectrum on the same values.
int splitInner(const float* re, const float* im, int m, const float* splitCos,
    const float* splitSin, float scale, float* power, SquareSum& side)
{
    const float* next = side.next;
    double sum = side.sum;
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 minusHalf = _mm256_set1_ps(-0.5f);
    const __m256 scaleBy = _mm256_set1_ps(scale);
    int k = 1;
    for (; k + 7 < m; k += 8) {
        addSquares(next, side.end, sum, kSplitSquares);
        const __m256 ra = _mm256_loadu_ps(re + k);
        const __m256 ia = _mm256_loadu_ps(im + k);
        const __m256 rb = _mm256_permutevar8x32_ps(_mm256_loadu_ps(re + m - k - 7), reverse);
        const __m256 ib = _mm256_permutevar8x32_ps(_mm256_loadu_ps(im + m - k - 7), reverse);
        const __m256 f = _mm256_mul_ps(_mm256_add_ps(ib, ia), half);
        const __m256 g = _mm256_mul_ps(_mm256_sub_ps(ra, rb), minusHalf);
        const __m256 c = _mm256_loadu_ps(splitCos + k);
        const __m256 s = _mm256_loadu_ps(splitSin + k);
        const __m256 xr = _mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(c, f), _mm256_mul_ps(s, g)),
            _mm256_mul_ps(_mm256_add_ps(rb, ra), half));
        const __m256 xi = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(c, g), _mm256_mul_ps(s, f)),
            _mm256_mul_ps(_mm256_sub_ps(ia, ib), half));
        const __m256 magnitude = _mm256_mul_ps(
            _mm256_sqrt_ps(_mm256_add_ps(_mm256_mul_ps(xi, xi), _mm256_mul_ps(xr, xr))), scaleBy);
        _mm256_storeu_ps(power + k, _mm256_mul_ps(magnitude, magnitude));
    }
    side.next = next;
    side.sum = sum;
    return k;
}

} // namespace dsp::avx2
