// Window and power spectrum against first principles: a direct DFT in double, exact sine, DC
// and Nyquist bins, and the window's exact sums. Then every path of this machine against the
// portable loops where the golden hashes (tst_golden) do not look: window lengths that end in a
// partial vector, and side sums of every length.

#include "describe.h"
#include "dsp/realfft.h"
#include "dsp/simd.h"
#include "golden.h"

#include <QTest>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

Q_DECLARE_METATYPE(dsp::simd::Path)

using dsp::HannWindow;
using dsp::RealFft;

namespace {

constexpr double kTwoPi = 6.283185307179586;

// Power as the transform defines it, from a direct O(N^2) DFT of the windowed block in double.
std::vector<double> directPower(const std::vector<float>& windowed, double windowSum)
{
    const std::size_t n = windowed.size();
    std::vector<double> cosTable(n), sinTable(n);
    for (std::size_t i = 0; i < n; ++i) {
        cosTable[i] = std::cos(kTwoPi * static_cast<double>(i) / static_cast<double>(n));
        sinTable[i] = std::sin(kTwoPi * static_cast<double>(i) / static_cast<double>(n));
    }
    std::vector<double> power(n / 2 + 1);
    for (std::size_t k = 0; k <= n / 2; ++k) {
        double re = 0.0, im = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t phase = (k * i) % n;
            re += windowed[i] * cosTable[phase];
            im -= windowed[i] * sinTable[phase];
        }
        const double magnitude = std::sqrt(re * re + im * im) / windowSum;
        const bool edge = k == 0 || k == n / 2;
        power[k] = edge ? magnitude * magnitude : 4.0 * magnitude * magnitude;
    }
    return power;
}

std::vector<float> noise(std::size_t count, unsigned seed)
{
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> samples(count);
    for (float& s : samples)
        s = uniform(engine);
    return samples;
}

std::vector<float> spectrumOf(const std::vector<float>& samples)
{
    const int n = static_cast<int>(samples.size());
    HannWindow window;
    window.resize(n);
    std::vector<float> windowed(samples.size());
    window.apply(samples.data(), windowed.data());
    RealFft fft(n);
    std::vector<float> power(samples.size() / 2 + 1, -1.0f);
    fft.powerSpectrum(windowed.data(), window.sum(), power.data());
    return power;
}

} // namespace

class tst_RealFft : public QObject {
    Q_OBJECT

private slots:
    void matchesDirectDft_data();
    void matchesDirectDft();
    void onBinSineReadsItsSquaredAmplitude_data();
    void onBinSineReadsItsSquaredAmplitude();
    void dcAndNyquist();
    void zeroInputGivesExactZeros();
    void nonPositiveWindowSumScalesByOne();
    void windowSumsAreExactlyHalfTheLength_data();
    void windowSumsAreExactlyHalfTheLength();
    void windowResizeEdges();
    void cleanup();
    void windowTailsMatchScalar_data();
    void windowTailsMatchScalar();
    void sideSumIsThePlainLoops_data();
    void sideSumIsThePlainLoops();
};

void tst_RealFft::matchesDirectDft_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1024") << 1024;
    QTest::newRow("2048") << 2048;
    QTest::newRow("4096") << 4096;
    QTest::newRow("8192") << 8192;
}

void tst_RealFft::matchesDirectDft()
{
    QFETCH(int, size);
    const std::vector<float> samples
        = noise(static_cast<std::size_t>(size), 20240607u + static_cast<unsigned>(size));

    HannWindow window;
    window.resize(size);
    std::vector<float> windowed(samples.size());
    window.apply(samples.data(), windowed.data());
    RealFft fft(size);
    std::vector<float> power(samples.size() / 2 + 1);
    fft.powerSpectrum(windowed.data(), window.sum(), power.data());
    const std::vector<double> expected = directPower(windowed, window.sum());

    // Compare magnitudes, whose rounding error is additive. A single-precision radix-2 FFT keeps
    // each output within about eps * log2(N) of the spectrum's norm (eps = 6e-8, log2 N <= 13):
    // 2e-6 of the largest magnitude holds with room, while a wrong twiddle, reorder or split
    // term puts errors of order 1 there.
    double largest = 0.0;
    for (double p : expected)
        largest = std::max(largest, std::sqrt(p));
    const double tolerance = 2e-6 * largest;
    for (std::size_t k = 0; k < power.size(); ++k) {
        const double got = std::sqrt(static_cast<double>(power[k]));
        const double want = std::sqrt(expected[k]);
        QVERIFY2(std::abs(got - want) <= tolerance,
            describe("magnitude", static_cast<int>(k), got, want).constData());
    }
}

void tst_RealFft::onBinSineReadsItsSquaredAmplitude_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("bin");
    QTest::newRow("1024, bin 2") << 1024 << 2;
    QTest::newRow("4096, bin 85") << 4096 << 85;
    QTest::newRow("8192, bin 4094") << 8192 << 4094;
}

void tst_RealFft::onBinSineReadsItsSquaredAmplitude()
{
    QFETCH(int, size);
    QFETCH(int, bin);
    std::vector<float> samples(static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(std::sin(kTwoPi * bin * static_cast<double>(i) / size));
    const std::vector<float> power = spectrumOf(samples);

    // The Hann main lobe: A^2 on the bin, A^2 / 4 on each neighbour, nothing elsewhere. The
    // tolerances cover float rounding of the window and of the sine samples.
    QVERIFY2(std::abs(power[bin] - 1.0f) < 1e-5f, describe("bin", bin, power[bin], 1.0));
    QVERIFY2(
        std::abs(power[bin - 1] - 0.25f) < 1e-5f, describe("bin", bin - 1, power[bin - 1], 0.25));
    QVERIFY2(
        std::abs(power[bin + 1] - 0.25f) < 1e-5f, describe("bin", bin + 1, power[bin + 1], 0.25));
    for (int k = 0; k < static_cast<int>(power.size()); ++k) {
        if (std::abs(k - bin) > 1)
            QVERIFY2(power[k] < 1e-9f, describe("leakage", k, power[k], 0.0));
    }
}

void tst_RealFft::dcAndNyquist()
{
    const int size = 4096;
    std::vector<float> constant(size, 0.5f);
    std::vector<float> alternating(size);
    for (int i = 0; i < size; ++i)
        alternating[static_cast<std::size_t>(i)] = i % 2 ? -0.5f : 0.5f;

    // Both edge bins read (|X| / sum)^2 with no factor of two: 0.5^2 on the edge bin, and the
    // Hann sidelobe gives 0.25 on its neighbour too.
    const std::vector<float> dc = spectrumOf(constant);
    QVERIFY2(std::abs(dc[0] - 0.25f) < 1e-6f, describe("dc", 0, dc[0], 0.25));
    QVERIFY2(std::abs(dc[1] - 0.25f) < 1e-6f, describe("dc", 1, dc[1], 0.25));
    QVERIFY2(dc[2] < 1e-9f, describe("dc", 2, dc[2], 0.0));
    QVERIFY2(dc[size / 2] < 1e-9f, describe("dc", size / 2, dc[size / 2], 0.0));

    const std::vector<float> nyquist = spectrumOf(alternating);
    QVERIFY2(std::abs(nyquist[size / 2] - 0.25f) < 1e-6f,
        describe("nyquist", size / 2, nyquist[size / 2], 0.25));
    QVERIFY2(std::abs(nyquist[size / 2 - 1] - 0.25f) < 1e-6f,
        describe("nyquist", size / 2 - 1, nyquist[size / 2 - 1], 0.25));
    QVERIFY2(nyquist[0] < 1e-9f, describe("nyquist", 0, nyquist[0], 0.0));
}

void tst_RealFft::zeroInputGivesExactZeros()
{
    for (int size : { 1024, 8192 }) {
        const std::vector<float> power = spectrumOf(std::vector<float>(size, 0.0f));
        for (std::size_t k = 0; k < power.size(); ++k)
            QVERIFY2(power[k] == 0.0f, describe("bin", static_cast<int>(k), power[k], 0.0));
    }
}

void tst_RealFft::nonPositiveWindowSumScalesByOne()
{
    // A rectangular block of ones: |X[0]| = N, so DC reads (N * 0.5)^2 unscaled.
    const int size = 1024;
    std::vector<float> ones(size, 1.0f);
    std::vector<float> power(size / 2 + 1);
    RealFft fft(size);
    for (float windowSum : { 0.0f, -3.0f }) {
        fft.powerSpectrum(ones.data(), windowSum, power.data());
        QCOMPARE(power[0], 512.0f * 512.0f);
    }
    fft.powerSpectrum(ones.data(), 2.0f, power.data());
    QCOMPARE(power[0], 512.0f * 512.0f);
}

void tst_RealFft::windowSumsAreExactlyHalfTheLength_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1024") << 1024;
    QTest::newRow("2048") << 2048;
    QTest::newRow("4096") << 4096;
    QTest::newRow("8192") << 8192;
}

void tst_RealFft::windowSumsAreExactlyHalfTheLength()
{
    QFETCH(int, size);
    HannWindow window;
    window.resize(size);
    QCOMPARE(window.size(), size);
    QCOMPARE(window.sum(), static_cast<float>(size / 2));

    // Periodic window: divisor n, so it starts at 0, peaks at exactly 1 in the middle and is
    // symmetric about it.
    std::vector<float> ones(static_cast<std::size_t>(size), 1.0f);
    std::vector<float> coeffs(static_cast<std::size_t>(size));
    window.apply(ones.data(), coeffs.data());
    QCOMPARE(coeffs[0], 0.0f);
    QCOMPARE(coeffs[static_cast<std::size_t>(size / 2)], 1.0f);
    for (int i = 1; i < size; ++i) {
        const float a = coeffs[static_cast<std::size_t>(i)];
        const float b = coeffs[static_cast<std::size_t>(size - i)];
        QVERIFY2(a == b, describe("symmetry", i, a, b).constData());
    }
}

void tst_RealFft::windowResizeEdges()
{
    HannWindow window;
    QCOMPARE(window.sum(), 0.0f);
    window.resize(1024);
    window.resize(1024);
    QCOMPARE(window.sum(), 512.0f);

    float in[4] = { 1.0f, 1.0f, 1.0f, 1.0f };
    float out[4] = { 9.0f, 9.0f, 9.0f, 9.0f };
    for (int n : { 0, -5 }) {
        window.resize(1024);
        window.resize(n);
        QCOMPARE(window.size(), 0);
        QCOMPARE(window.sum(), 0.0f);
        window.apply(in, out);
        QCOMPARE(out[0], 9.0f);
    }
}

void tst_RealFft::cleanup()
{
    dsp::simd::forcePath(dsp::simd::best());
}

void tst_RealFft::windowTailsMatchScalar_data()
{
    QTest::addColumn<dsp::simd::Path>("path");
    QTest::addColumn<int>("length");
    // Below one vector, between vector widths, and whole vectors plus a tail of each size.
    for (const dsp::simd::Path path : golden::kPaths) {
        for (const int length : { 1, 3, 5, 8, 13, 30, 67 })
            QTest::addRow("%s, %d", dsp::simd::name(path), length) << path << length;
    }
}

void tst_RealFft::windowTailsMatchScalar()
{
    QFETCH(dsp::simd::Path, path);
    QFETCH(int, length);
    const std::vector<float> in = noise(static_cast<std::size_t>(length), 7u);
    HannWindow window;
    window.resize(length);
    std::vector<float> expected(in.size());
    QVERIFY(dsp::simd::forcePath(dsp::simd::Path::Scalar));
    window.apply(in.data(), expected.data());
    if (!dsp::simd::forcePath(path))
        QSKIP("this build or CPU has no such path");
    std::vector<float> got(in.size() + 1, -7.0f);
    window.apply(in.data(), got.data());
    for (std::size_t i = 0; i < in.size(); ++i) {
        QVERIFY2(std::memcmp(&got[i], &expected[i], sizeof(float)) == 0,
            describe("sample", int(i), got[i], expected[i]).constData());
    }
    QVERIFY2(got.back() == -7.0f, describe("past the end", length, got.back(), -7.0));
}

void tst_RealFft::sideSumIsThePlainLoops_data()
{
    QTest::addColumn<dsp::simd::Path>("path");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("sideLength");
    // Sizes where the widest kernels hand over to narrower ones and where they run alone; side
    // sums that end inside a step and that outlast the transform.
    for (const dsp::simd::Path path : golden::kPaths) {
        for (const int size : { 16, 128, 2048 }) {
            for (const int side : { 0, 1, 7, 100, 9001 })
                QTest::addRow("%s, N %d, side %d", dsp::simd::name(path), size, side)
                    << path << size << side;
        }
    }
}

void tst_RealFft::sideSumIsThePlainLoops()
{
    QFETCH(dsp::simd::Path, path);
    QFETCH(int, size);
    QFETCH(int, sideLength);
    const std::vector<float> in = noise(static_cast<std::size_t>(size), 11u);
    const std::vector<float> squares = noise(static_cast<std::size_t>(sideLength), 13u);
    dsp::SquareSum side { squares.data(), squares.data() + squares.size(), 0.375 };
    double expected = side.sum;
    for (const float x : squares)
        expected += static_cast<double>(x) * x;
    RealFft fft(size);
    std::vector<float> plain(static_cast<std::size_t>(size / 2 + 1));
    std::vector<float> power(plain.size());
    QVERIFY(dsp::simd::forcePath(dsp::simd::Path::Scalar));
    fft.powerSpectrum(in.data(), 3.0f, plain.data());
    if (!dsp::simd::forcePath(path))
        QSKIP("this build or CPU has no such path");
    fft.powerSpectrum(in.data(), 3.0f, power.data(), side);
    QVERIFY2(side.sum == expected && side.next == side.end,
        describe("side sum, squares left", int(side.end - side.next), side.sum, expected)
            .constData());
    // Carrying the side sum along leaves the spectrum as it is without one.
    for (std::size_t k = 0; k < plain.size(); ++k) {
        QVERIFY2(std::memcmp(&power[k], &plain[k], sizeof(float)) == 0,
            describe("bin", int(k), power[k], plain[k]).constData());
    }
}

QTEST_APPLESS_MAIN(tst_RealFft)
#include "tst_realfft.moc"
