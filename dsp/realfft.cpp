#include "dsp/realfft.h"

#include "dsp/exactmath.h"
#include "dsp/fftkernels.h"
#include "dsp/simd.h"

#include <cmath>

// simd::active() picks a table of kernels per call (kerneltable.h): the portable ones below, or
// those of sse2.cpp (part of every x86-64), avx2.cpp or neon.cpp (aarch64). All compute the same
// bits.

namespace dsp {

namespace fft::scalar {

    namespace {

        // One lane: the kernels of fftkernels.h as plain scalar loops.
        // The side sum is left to powerSpectrum's own tail.
        struct Lanes : LaneShape<1, 0, 0, 0> {
            static constexpr int kLoadOrder[kWidth] = { 0 };

            float v;

            Lanes() = default;
            Lanes(float x)
                : v(x)
            {
            }

            static Lanes load(const float* p) { return { *p }; }
            static Lanes broadcast(float x) { return { x }; }
            void store(float* p) const { *p = v; }

            static void loadComplex(const float* p, Lanes& re, Lanes& im)
            {
                re.v = p[0];
                im.v = p[1];
            }

            static void transpose(Lanes (&)[kWidth]) { }

            friend Lanes operator+(Lanes a, Lanes b) { return { a.v + b.v }; }
            friend Lanes operator-(Lanes a, Lanes b) { return { a.v - b.v }; }
            friend Lanes operator*(Lanes a, Lanes b) { return { a.v * b.v }; }
            friend Lanes sqrt(Lanes a) { return { std::sqrt(a.v) }; }
            friend Lanes reversed(Lanes a) { return a; }
        };

    } // namespace

    const KernelTable kTable = Kernels<Lanes>::table(nullptr);

} // namespace fft::scalar

namespace {

    constexpr double kTwoPi = 6.283185307179586;
    constexpr double kPi = 3.141592653589793;

    // The one place that maps a path to its kernels.
    const fft::KernelTable& kernelsFor(simd::Path path)
    {
        switch (path) {
#ifdef DSP_SIMD_X86
        case simd::Path::Sse2:
            return fft::sse2::kTable;
        case simd::Path::Avx2:
            return fft::avx2::kTable;
#endif
#ifdef DSP_SIMD_NEON
        case simd::Path::Neon:
            return fft::neon::kTable;
#endif
        default:
            return fft::scalar::kTable;
        }
    }

    // The widest table from `table` down whose vectors are at most `lanes` wide.
    const fft::KernelTable& atMost(const fft::KernelTable& table, int lanes)
    {
        const fft::KernelTable* fitting = &table;
        while (fitting->width > lanes)
            fitting = fitting->narrower;
        return *fitting;
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
    std::size_t i = 0;
    for (const fft::KernelTable* t = &kernelsFor(simd::active()); t && i < n; t = t->narrower)
        i = t->multiply(coeffs_.data(), in, out, i, n);
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

int RealFft::load(const float* in, const fft::KernelTable& table, SquareSum& side)
{
    // Each lane fills groups of its own, as many as there are lanes: width^2 points at least.
    const fft::KernelTable* kernels = &table;
    while (kernels->width * kernels->width > half_)
        kernels = kernels->narrower;
    kernels->loadWithFirstStages(in, bitRev_.data(), half_, stageCos_.data(), stageSin_.data(),
        re_.data(), im_.data(), side);
    return kernels->width;
}

void RealFft::transform(int h, const fft::KernelTable& table, SquareSum& side)
{
    const int m = half_;
    float* re = re_.data();
    float* im = im_.data();
    for (; 2 * h < m; h *= 4)
        atMost(table, h).stagePair(re, im, m, h, stageCos_.data(), stageSin_.data(), side);
    for (; h < m; h *= 2)
        atMost(table, h).stage(re, im, m, h, stageCos_.data() + h, stageSin_.data() + h);
}

void RealFft::powerSpectrum(const float* in, float windowSum, float* power)
{
    SquareSum none;
    powerSpectrum(in, windowSum, power, none);
}

void RealFft::powerSpectrum(const float* in, float windowSum, float* power, SquareSum& side)
{
    const fft::KernelTable& table = kernelsFor(simd::active());
    transform(load(in, table, side), table, side);

    const int m = half_;
    const float* re = re_.data();
    const float* im = im_.data();
    const float scale = windowSum > 0.0f ? 2.0f / windowSum : 1.0f;
    const float* splitCos = splitCos_.data();
    const float* splitSin = splitSin_.data();
    int k = 1;
    for (const fft::KernelTable* t = &table; t && k < m; t = t->narrower)
        k = t->splitInner(re, im, m, k, splitCos, splitSin, scale, power, side);

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
