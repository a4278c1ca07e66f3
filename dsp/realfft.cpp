#include "dsp/realfft.h"

#include "dsp/exactmath.h"
#include "dsp/simd.h"

#include <cmath>

// simd::active() picks the kernels per call: the portable loops below, their SSE2 form (part of
// every x86-64), the AVX2 form in avx2.cpp or the NEON form in neon.cpp (aarch64). All compute the
// same bits.
#ifdef DSP_SIMD_X86
#include "dsp/avx2.h"

#include <emmintrin.h>
#endif
#ifdef DSP_SIMD_NEON
#include "dsp/neon.h"
#endif

namespace dsp {

namespace {

    constexpr double kTwoPi = 6.283185307179586;
    constexpr double kPi = 3.141592653589793;

#ifdef DSP_SIMD_X86
    // Samples of the side sum per step of the SSE2 kernels, about what the step's own work takes
    // at one addition per adder latency.
    constexpr long kLoadSquares = 6;
    constexpr long kPairSquares = 3;
    constexpr long kSplitSquares = 2;

    // Adds the squares of the next `count` samples of a SquareSum when that many are left (the
    // rest falls to powerSpectrum's tail), with the sum's state held in the caller's locals so it
    // stays in registers. count is a constant, so the loop unrolls. avx2.cpp has its own copy:
    // no inline function is shared with the source compiled for AVX2.
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

    // Four independent butterflies, one per lane, each computing exactly the scalar expressions
    // of stage() below: t = w * b, then b = a - t and a = a + t.
    inline void butterflies(
        __m128& ar, __m128& ai, __m128& br, __m128& bi, const __m128 wr, const __m128 wi)
    {
        const __m128 tr = _mm_sub_ps(_mm_mul_ps(wr, br), _mm_mul_ps(wi, bi));
        const __m128 ti = _mm_add_ps(_mm_mul_ps(wr, bi), _mm_mul_ps(wi, br));
        br = _mm_sub_ps(ar, tr);
        bi = _mm_sub_ps(ai, ti);
        ar = _mm_add_ps(ar, tr);
        ai = _mm_add_ps(ai, ti);
    }

    // Splits four interleaved complex values (re, im, re, im, ...) into their parts.
    inline void loadComplex(const float* p, __m128& re, __m128& im)
    {
        const __m128 lo = _mm_loadu_ps(p);
        const __m128 hi = _mm_loadu_ps(p + 4);
        re = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
        im = _mm_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
    }

    // Packs the m complex values of in (m >= 16) in bit-reversed order and runs the stages of
    // half-length 1 and 2 on the way. Group g (positions 4g..4g+3) takes the inputs r, r + m/2,
    // r + m/4 and r + 3m/4 with r = bitRev[4g]; four consecutive r are worked side by side, one
    // per lane, and a transpose puts each lane's four results into its own group 4 bitRev[4r].
    void loadWithFirstStages(const float* in, const std::int32_t* bitRev, int m,
        const float* stageCos, const float* stageSin, float* re, float* im, SquareSum& side)
    {
        const float* next = side.next;
        double sum = side.sum;
        const __m128 c1 = _mm_set1_ps(stageCos[1]);
        const __m128 s1 = _mm_set1_ps(stageSin[1]);
        const __m128 c2 = _mm_set1_ps(stageCos[2]);
        const __m128 s2 = _mm_set1_ps(stageSin[2]);
        const __m128 c3 = _mm_set1_ps(stageCos[3]);
        const __m128 s3 = _mm_set1_ps(stageSin[3]);
        const int quarter = m / 4;
        for (int r = 0; r < quarter; r += 4) {
            addSquares(next, side.end, sum, kLoadSquares);
            __m128 r0, i0, r1, i1, r2, i2, r3, i3;
            loadComplex(in + 2 * r, r0, i0);
            loadComplex(in + 2 * (r + 2 * quarter), r1, i1);
            loadComplex(in + 2 * (r + quarter), r2, i2);
            loadComplex(in + 2 * (r + 3 * quarter), r3, i3);
            butterflies(r0, i0, r1, i1, c1, s1);
            butterflies(r2, i2, r3, i3, c1, s1);
            butterflies(r0, i0, r2, i2, c2, s2);
            butterflies(r1, i1, r3, i3, c3, s3);
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _MM_TRANSPOSE4_PS(i0, i1, i2, i3);
            const int g0 = 4 * bitRev[4 * r];
            const int g1 = 4 * bitRev[4 * (r + 1)];
            const int g2 = 4 * bitRev[4 * (r + 2)];
            const int g3 = 4 * bitRev[4 * (r + 3)];
            _mm_storeu_ps(re + g0, r0);
            _mm_storeu_ps(im + g0, i0);
            _mm_storeu_ps(re + g1, r1);
            _mm_storeu_ps(im + g1, i1);
            _mm_storeu_ps(re + g2, r2);
            _mm_storeu_ps(im + g2, i2);
            _mm_storeu_ps(re + g3, r3);
            _mm_storeu_ps(im + g3, i3);
        }
        side.next = next;
        side.sum = sum;
    }

    // The stages of half-length h and 2h (h >= 4) in one sweep, so each value is loaded and stored
    // once for both. In a block of 4h, the points p, p + h, p + 2h, p + 3h (p = s + k, k < h) meet
    // first in pairs (p, p + h) and (p + 2h, p + 3h) with twiddle k of stage h, then in pairs
    // (p, p + 2h) and (p + h, p + 3h) with twiddles k and k + h of stage 2h: exactly the
    // butterflies of the two stages, in an order that respects every dependency.
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
                __m128 r0 = _mm_loadu_ps(r);
                __m128 i0 = _mm_loadu_ps(i);
                __m128 r1 = _mm_loadu_ps(r + h);
                __m128 i1 = _mm_loadu_ps(i + h);
                __m128 r2 = _mm_loadu_ps(r + 2 * h);
                __m128 i2 = _mm_loadu_ps(i + 2 * h);
                __m128 r3 = _mm_loadu_ps(r + 3 * h);
                __m128 i3 = _mm_loadu_ps(i + 3 * h);
                const __m128 w1r = _mm_loadu_ps(c1 + k);
                const __m128 w1i = _mm_loadu_ps(s1 + k);
                butterflies(r0, i0, r1, i1, w1r, w1i);
                butterflies(r2, i2, r3, i3, w1r, w1i);
                butterflies(r0, i0, r2, i2, _mm_loadu_ps(c2 + k), _mm_loadu_ps(s2 + k));
                butterflies(r1, i1, r3, i3, _mm_loadu_ps(c2 + k + h), _mm_loadu_ps(s2 + k + h));
                _mm_storeu_ps(r, r0);
                _mm_storeu_ps(i, i0);
                _mm_storeu_ps(r + h, r1);
                _mm_storeu_ps(i + h, i1);
                _mm_storeu_ps(r + 2 * h, r2);
                _mm_storeu_ps(i + 2 * h, i2);
                _mm_storeu_ps(r + 3 * h, r3);
                _mm_storeu_ps(i + 3 * h, i3);
            }
        }
        side.next = next;
        side.sum = sum;
    }
#endif

    // One radix-2 stage of half-length h over m points: butterflies (s + k, s + k + h) for every
    // block start s, with twiddle k taken from wr/wi (the stage's own contiguous table).
    void stage(float* re, float* im, int m, int h, const float* wr, const float* wi,
        [[maybe_unused]] simd::Path path)
    {
#ifdef DSP_SIMD_NEON
        if (path == simd::Path::Neon && h >= 4) {
            neon::stage(re, im, m, h, wr, wi);
            return;
        }
#endif
#ifdef DSP_SIMD_X86
        if (path == simd::Path::Avx2 && h >= 8) {
            avx2::stage(re, im, m, h, wr, wi);
            return;
        }
        if (path != simd::Path::Scalar && h >= 4) {
            for (int s = 0; s < m; s += 2 * h) {
                for (int k = 0; k < h; k += 4) {
                    float* ra = re + s + k;
                    float* ia = im + s + k;
                    float* rb = ra + h;
                    float* ib = ia + h;
                    __m128 xar = _mm_loadu_ps(ra);
                    __m128 xai = _mm_loadu_ps(ia);
                    __m128 xbr = _mm_loadu_ps(rb);
                    __m128 xbi = _mm_loadu_ps(ib);
                    butterflies(xar, xai, xbr, xbi, _mm_loadu_ps(wr + k), _mm_loadu_ps(wi + k));
                    _mm_storeu_ps(ra, xar);
                    _mm_storeu_ps(ia, xai);
                    _mm_storeu_ps(rb, xbr);
                    _mm_storeu_ps(ib, xbi);
                }
            }
            return;
        }
#endif
        for (int s = 0; s < m; s += 2 * h) {
            for (int k = 0; k < h; ++k) {
                const int a = s + k;
                const int b = a + h;
                const float tr = wr[k] * re[b] - wi[k] * im[b];
                const float ti = wr[k] * im[b] + wi[k] * re[b];
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] = re[a] + tr;
                im[a] = im[a] + ti;
            }
        }
    }

} // namespace

void HannWindow::resize(int n)
{
    if (n < 0)
        n = 0;
    if (n == size())
        return;
    coeffs_.resize(static_cast<std::size_t>(n));
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        const double w = (1.0 - exactCos(i * kTwoPi / n)) * 0.5;
        coeffs_[static_cast<std::size_t>(i)] = static_cast<float>(w);
        sum += w;
    }
    sum_ = static_cast<float>(sum);
}

void HannWindow::apply(const float* in, float* out) const
{
    const std::size_t n = coeffs_.size();
    const float* w = coeffs_.data();
    std::size_t i = 0;
#ifdef DSP_SIMD_X86
    const simd::Path path = simd::active();
    if (path == simd::Path::Avx2)
        i = avx2::multiply(w, in, out, n);
    if (path != simd::Path::Scalar) {
        for (; i + 4 <= n; i += 4)
            _mm_storeu_ps(out + i, _mm_mul_ps(_mm_loadu_ps(w + i), _mm_loadu_ps(in + i)));
    }
#endif
#ifdef DSP_SIMD_NEON
    if (simd::active() == simd::Path::Neon)
        i = neon::multiply(w, in, out, n);
#endif
    for (; i < n; ++i)
        out[i] = w[i] * in[i];
}

RealFft::RealFft(int size)
    : size_(size)
    , half_(size / 2)
{
    const std::size_t half = half_ > 0 ? static_cast<std::size_t>(half_) : 0;

    int bits = 0;
    for (int v = 1; v < half_; v *= 2)
        ++bits;
    bitRev_.resize(half);
    for (std::size_t j = 0; j < half; ++j) {
        std::int32_t reversed = 0;
        for (int k = 0; k < bits; ++k) {
            if (j & (std::size_t(1) << k))
                reversed |= std::int32_t(1) << (bits - 1 - k);
        }
        bitRev_[j] = reversed;
    }

    const std::size_t twiddles = half_ / 2 > 1 ? static_cast<std::size_t>(half_ / 2) : 1;
    twCos_.resize(twiddles);
    twSin_.resize(twiddles);
    for (std::size_t j = 0; j < twiddles; ++j) {
        const double theta = static_cast<double>(j) * -kTwoPi / half_;
        twCos_[j] = static_cast<float>(exactCos(theta));
        twSin_[j] = static_cast<float>(exactSin(theta));
    }

    stageCos_.assign(half > 0 ? half : 1, 0.0f);
    stageSin_.assign(half > 0 ? half : 1, 0.0f);
    for (int h = 1; h < half_; h *= 2) {
        const int step = half_ / (2 * h);
        for (int k = 0; k < h; ++k) {
            stageCos_[static_cast<std::size_t>(h + k)] = twCos_[static_cast<std::size_t>(k * step)];
            stageSin_[static_cast<std::size_t>(h + k)] = twSin_[static_cast<std::size_t>(k * step)];
        }
    }

    splitCos_.resize(half + 1);
    splitSin_.resize(half + 1);
    for (std::size_t j = 0; j <= half; ++j) {
        const double theta = static_cast<double>(j) * -kPi / half_;
        splitCos_[j] = static_cast<float>(exactCos(theta));
        splitSin_[j] = static_cast<float>(exactSin(theta));
    }

    re_.assign(half, 0.0f);
    im_.assign(half, 0.0f);
}

int RealFft::load(
    const float* in, [[maybe_unused]] simd::Path path, [[maybe_unused]] SquareSum& side)
{
    const int m = half_;
    float* re = re_.data();
    float* im = im_.data();
#ifdef DSP_SIMD_X86
    if (path == simd::Path::Avx2 && m >= 64) {
        avx2::loadWithFirstStages(
            in, bitRev_.data(), m, stageCos_.data(), stageSin_.data(), re, im, side);
        return 8;
    }
    if (path != simd::Path::Scalar && m >= 16) {
        loadWithFirstStages(
            in, bitRev_.data(), m, stageCos_.data(), stageSin_.data(), re, im, side);
        return 4;
    }
#endif
#ifdef DSP_SIMD_NEON
    if (path == simd::Path::Neon && m >= 16) {
        neon::loadWithFirstStages(
            in, bitRev_.data(), m, stageCos_.data(), stageSin_.data(), re, im, side);
        return 4;
    }
#endif
    // Bit reversal is its own inverse, so gathering from the reversed index is the same
    // reordering as swapping each pair in place.
    for (int i = 0; i < m; ++i) {
        const int j = bitRev_[static_cast<std::size_t>(i)];
        re[i] = in[2 * j];
        im[i] = in[2 * j + 1];
    }
    return 1;
}

void RealFft::transform(int h, simd::Path path, [[maybe_unused]] SquareSum& side)
{
    const int m = half_;
    float* re = re_.data();
    float* im = im_.data();
#ifdef DSP_SIMD_X86
    if (path == simd::Path::Avx2 && h >= 8) {
        for (; 2 * h < m; h *= 4)
            avx2::stagePair(re, im, m, h, stageCos_.data(), stageSin_.data(), side);
    } else if (path != simd::Path::Scalar && h >= 4) {
        for (; 2 * h < m; h *= 4)
            stagePair(re, im, m, h, stageCos_.data(), stageSin_.data(), side);
    }
#endif
#ifdef DSP_SIMD_NEON
    if (path == simd::Path::Neon && h >= 4) {
        for (; 2 * h < m; h *= 4)
            neon::stagePair(re, im, m, h, stageCos_.data(), stageSin_.data(), side);
    }
#endif
    for (; h < m; h *= 2)
        stage(re, im, m, h, stageCos_.data() + h, stageSin_.data() + h, path);
}

void RealFft::powerSpectrum(const float* in, float windowSum, float* power)
{
    SquareSum none;
    powerSpectrum(in, windowSum, power, none);
}

void RealFft::powerSpectrum(const float* in, float windowSum, float* power, SquareSum& side)
{
    const simd::Path path = simd::active();
    transform(load(in, path, side), path, side);

    const int m = half_;
    const float* re = re_.data();
    const float* im = im_.data();

    const float scale = windowSum > 0.0f ? 2.0f / windowSum : 1.0f;
    const float* splitCos = splitCos_.data();
    const float* splitSin = splitSin_.data();
    int k = 1;
#ifdef DSP_SIMD_NEON
    if (path == simd::Path::Neon)
        k = neon::splitInner(re, im, m, splitCos, splitSin, scale, power, side);
#endif
#ifdef DSP_SIMD_X86
    if (path == simd::Path::Avx2)
        k = avx2::splitInner(re, im, m, splitCos, splitSin, scale, power, side);
    // Inner bins four at a time: bins k..k+3 pair with m-k..m-k-3, read as one vector and
    // reversed, so every lane evaluates the scalar expressions below on the same values.
    const __m128 half = _mm_set1_ps(0.5f);
    const __m128 minusHalf = _mm_set1_ps(-0.5f);
    const __m128 scaleBy = _mm_set1_ps(scale);
    const float* next = side.next;
    double sum = side.sum;
    for (; path != simd::Path::Scalar && k + 3 < m; k += 4) {
        addSquares(next, side.end, sum, kSplitSquares);
        const __m128 ra = _mm_loadu_ps(re + k);
        const __m128 ia = _mm_loadu_ps(im + k);
        const __m128 rbReversed = _mm_loadu_ps(re + m - k - 3);
        const __m128 ibReversed = _mm_loadu_ps(im + m - k - 3);
        const __m128 rb = _mm_shuffle_ps(rbReversed, rbReversed, _MM_SHUFFLE(0, 1, 2, 3));
        const __m128 ib = _mm_shuffle_ps(ibReversed, ibReversed, _MM_SHUFFLE(0, 1, 2, 3));
        const __m128 f = _mm_mul_ps(_mm_add_ps(ib, ia), half);
        const __m128 g = _mm_mul_ps(_mm_sub_ps(ra, rb), minusHalf);
        const __m128 c = _mm_loadu_ps(splitCos + k);
        const __m128 s = _mm_loadu_ps(splitSin + k);
        const __m128 xr = _mm_add_ps(
            _mm_sub_ps(_mm_mul_ps(c, f), _mm_mul_ps(s, g)), _mm_mul_ps(_mm_add_ps(rb, ra), half));
        const __m128 xi = _mm_add_ps(
            _mm_add_ps(_mm_mul_ps(c, g), _mm_mul_ps(s, f)), _mm_mul_ps(_mm_sub_ps(ia, ib), half));
        const __m128 magnitude
            = _mm_mul_ps(_mm_sqrt_ps(_mm_add_ps(_mm_mul_ps(xi, xi), _mm_mul_ps(xr, xr))), scaleBy);
        _mm_storeu_ps(power + k, _mm_mul_ps(magnitude, magnitude));
    }
    side.next = next;
    side.sum = sum;
#endif
    for (; k < m; ++k) {
        const int b = m - k;
        const float f = (im[b] + im[k]) * 0.5f;
        const float g = (re[k] - re[b]) * -0.5f;
        const float xr = splitCos[k] * f - splitSin[k] * g + (re[b] + re[k]) * 0.5f;
        const float xi = splitCos[k] * g + splitSin[k] * f + (im[k] - im[b]) * 0.5f;
        const float magnitude = std::sqrt(xi * xi + xr * xr) * scale;
        power[k] = magnitude * magnitude;
    }

    // DC (k = 0) and Nyquist (k = m) both pair element 0 with itself; there xr is the real bin
    // and only its size counts.
    for (const int edge : { 0, m }) {
        const float f = (im[0] + im[0]) * 0.5f;
        const float g = (re[0] - re[0]) * -0.5f;
        const float xr = splitCos[edge] * f - splitSin[edge] * g + (re[0] + re[0]) * 0.5f;
        const float magnitude = std::abs(xr) * scale * 0.5f;
        power[edge] = magnitude * magnitude;
    }

    // Whatever of the side sum the vector loops left (all of it on the portable path).
    double rest = side.sum;
    for (const float* next = side.next; next < side.end; ++next) {
        const double x = *next;
        rest += x * x;
    }
    side.sum = rest;
    side.next = side.end;
}

} // namespace dsp
