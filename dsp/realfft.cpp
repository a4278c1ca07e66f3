#include "dsp/realfft.h"

#include <cmath>
#include <utility>

namespace dsp {

namespace {

    constexpr double kTwoPi = 6.283185307179586;
    constexpr double kPi = 3.141592653589793;

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
        const double w = (1.0 - std::cos(i * kTwoPi / n)) * 0.5;
        coeffs_[static_cast<std::size_t>(i)] = static_cast<float>(w);
        sum += w;
    }
    sum_ = static_cast<float>(sum);
}

void HannWindow::apply(const float* in, float* out) const
{
    const std::size_t n = coeffs_.size();
    const float* w = coeffs_.data();
    for (std::size_t i = 0; i < n; ++i)
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
        twCos_[j] = static_cast<float>(std::cos(theta));
        twSin_[j] = static_cast<float>(std::sin(theta));
    }

    splitCos_.resize(half + 1);
    splitSin_.resize(half + 1);
    for (std::size_t j = 0; j <= half; ++j) {
        const double theta = static_cast<double>(j) * -kPi / half_;
        splitCos_[j] = static_cast<float>(std::cos(theta));
        splitSin_[j] = static_cast<float>(std::sin(theta));
    }

    re_.assign(half, 0.0f);
    im_.assign(half, 0.0f);
}

void RealFft::transform()
{
    const int m = half_;
    float* re = re_.data();
    float* im = im_.data();

    for (int i = 0; i < m; ++i) {
        const int j = bitRev_[static_cast<std::size_t>(i)];
        if (j > i) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }

    for (int len = 2; len <= m; len *= 2) {
        const int step = m / len;
        const int h = len / 2;
        for (int s = 0; s < m; s += len) {
            for (int k = 0; k < h; ++k) {
                const float wr = twCos_[static_cast<std::size_t>(k * step)];
                const float wi = twSin_[static_cast<std::size_t>(k * step)];
                const int a = s + k;
                const int b = a + h;
                const float tr = wr * re[b] - wi * im[b];
                const float ti = wr * im[b] + wi * re[b];
                re[b] = re[a] - tr;
                im[b] = im[a] - ti;
                re[a] = re[a] + tr;
                im[a] = im[a] + ti;
            }
        }
    }
}

void RealFft::powerSpectrum(const float* in, float windowSum, float* power)
{
    const int m = half_;
    float* re = re_.data();
    float* im = im_.data();
    for (int i = 0; i < m; ++i) {
        re[i] = in[2 * i];
        im[i] = in[2 * i + 1];
    }

    transform();

    const float scale = windowSum > 0.0f ? 2.0f / windowSum : 1.0f;
    for (int k = 0; k <= m; ++k) {
        const int a = k == m ? 0 : k;
        const int b = (k == 0 || k == m) ? 0 : m - k;
        const float f = (im[b] + im[a]) * 0.5f;
        const float g = (re[a] - re[b]) * -0.5f;
        const float c = splitCos_[static_cast<std::size_t>(k)];
        const float s = splitSin_[static_cast<std::size_t>(k)];
        const float xr = c * f - s * g + (re[b] + re[a]) * 0.5f;
        const float xi = c * g + s * f + (im[a] - im[b]) * 0.5f;
        float magnitude;
        if (k == 0 || k == m)
            magnitude = std::abs(xr) * scale * 0.5f;
        else
            magnitude = std::sqrt(xi * xi + xr * xr) * scale;
        power[k] = magnitude * magnitude;
    }
}

} // namespace dsp
