// The core's own elementary functions against the C library's: dense sweeps within the ulp bounds
// of exactmath.h, and the edge inputs (zeros, subnormals, negatives, infinities, NaN) to the bit.

#include "dsp/exactmath.h"

#include <QTest>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace {

enum class Fn { Log10F, Log10D, Log2F, PowF, ExpF, Sin, Cos };

// How a sweep places its points between lo and hi.
enum class Spacing {
    // Evenly in value.
    Linear,
    // Evenly in bit pattern: the same number of points in every octave.
    ByBits,
    // On the nearest doubles to multiples of pi / 2 and their neighbours, where sin or cos is
    // close to 0 and the argument reduction must carry the most bits.
    NearQuarterTurns,
};

// The documented bounds against the truth, plus the C library's own error (under 1 ulp): a float
// result and the correctly rounded float of the C library's double result are at most 1 apart, a
// double result and the C library's at most 2 + 1.
constexpr qint64 kFloatUlps = 1;
constexpr qint64 kDoubleUlps = 3;
// Float results nearly always equal the correctly rounded one: a sweep may miss it at most once
// in this many points (only halfway cases the double result cannot decide).
constexpr int kPointsPerMiss = 1000;
constexpr int kSweepPoints = 20000;
constexpr double kHalfPi = 1.5707963267948966;

bool isFloatFn(Fn fn)
{
    return fn != Fn::Log10D && fn != Fn::Sin && fn != Fn::Cos;
}

double evaluate(Fn fn, double x, double y)
{
    const auto xf = static_cast<float>(x);
    switch (fn) {
    case Fn::Log10F:
        return dsp::exactLog10(xf);
    case Fn::Log10D:
        return dsp::exactLog10(x);
    case Fn::Log2F:
        return dsp::exactLog2(xf);
    case Fn::PowF:
        return dsp::exactPow(xf, static_cast<float>(y));
    case Fn::ExpF:
        return dsp::exactExp(xf);
    case Fn::Sin:
        return dsp::exactSin(x);
    case Fn::Cos:
        return dsp::exactCos(x);
    }
    return 0.0;
}

// The C library in double, rounded once to float for the float functions.
double reference(Fn fn, double x, double y)
{
    const double xf = static_cast<float>(x);
    switch (fn) {
    case Fn::Log10F:
        return static_cast<float>(std::log10(xf));
    case Fn::Log10D:
        return std::log10(x);
    case Fn::Log2F:
        return static_cast<float>(std::log2(xf));
    case Fn::PowF:
        return static_cast<float>(std::pow(xf, static_cast<double>(static_cast<float>(y))));
    case Fn::ExpF:
        return static_cast<float>(std::exp(xf));
    case Fn::Sin:
        return std::sin(x);
    case Fn::Cos:
        return std::cos(x);
    }
    return 0.0;
}

// Position on a line where neighbouring floats (or doubles) are 1 apart and -0 meets +0.
std::int64_t orderedFloat(float f)
{
    std::int32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits < 0 ? -static_cast<std::int64_t>(bits & 0x7fffffff) : bits;
}

std::int64_t orderedDouble(double d)
{
    std::int64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits < 0 ? -(bits & 0x7fffffffffffffffll) : bits;
}

// Distance in ulp of the function's type; 0 when both are NaN, huge when one is.
std::int64_t ulpDistance(Fn fn, double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b) ? 0 : std::numeric_limits<std::int64_t>::max();
    const std::int64_t d = isFloatFn(fn)
        ? orderedFloat(static_cast<float>(a)) - orderedFloat(static_cast<float>(b))
        : orderedDouble(a) - orderedDouble(b);
    return d < 0 ? -d : d;
}

double pointAt(Spacing spacing, double lo, double hi, int i)
{
    const double t = static_cast<double>(i) / (kSweepPoints - 1);
    if (spacing == Spacing::Linear)
        return lo + (hi - lo) * t;
    if (spacing == Spacing::ByBits) {
        // lo and hi are positive, so the ordered positions are the bit patterns.
        const std::int64_t a = orderedDouble(lo);
        const std::int64_t b = orderedDouble(hi);
        const std::int64_t bits = a + static_cast<std::int64_t>(static_cast<double>(b - a) * t);
        double x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
    // Multiples k of pi / 2 spread geometrically from lo to hi, either sign, and up to two doubles
    // on either side.
    const int k = static_cast<int>(lo * std::pow(hi / lo, t));
    double x = (i % 3 == 0 ? -k : k) * kHalfPi;
    for (int step = 0; step < i % 3; ++step)
        x = std::nextafter(x, i % 2 != 0 ? 0.0 : 2.0 * x);
    return x;
}

QByteArray describePoint(const char* what, int i, double x, double y, double got, double expected)
{
    return QStringLiteral("%1 at point %2 (x %3, y %4): got %5, expected %6")
        .arg(QLatin1String(what))
        .arg(i)
        .arg(x, 0, 'g', 17)
        .arg(y, 0, 'g', 9)
        .arg(got, 0, 'g', 17)
        .arg(expected, 0, 'g', 17)
        .toLocal8Bit();
}

} // namespace

Q_DECLARE_METATYPE(Fn)
Q_DECLARE_METATYPE(Spacing)

class tst_ExactMath : public QObject {
    Q_OBJECT

private slots:
    void sweepsStayWithinTheBound_data();
    void sweepsStayWithinTheBound();
    void edgeInputs_data();
    void edgeInputs();
};

void tst_ExactMath::sweepsStayWithinTheBound_data()
{
    QTest::addColumn<Fn>("fn");
    QTest::addColumn<Spacing>("spacing");
    QTest::addColumn<double>("lo");
    QTest::addColumn<double>("hi");
    // pow's exponent: each point takes one from yLo to yHi, in a scattered order.
    QTest::addColumn<double>("yLo");
    QTest::addColumn<double>("yHi");
    const double minSub = std::numeric_limits<float>::denorm_min();
    const double maxF = std::numeric_limits<float>::max();
    const double minSubD = std::numeric_limits<double>::denorm_min();
    const double maxD = std::numeric_limits<double>::max();
    const auto bits = Spacing::ByBits;
    const auto linear = Spacing::Linear;
    QTest::newRow("log10f every octave") << Fn::Log10F << bits << minSub << maxF << 0.0 << 0.0;
    QTest::newRow("log10f near 1") << Fn::Log10F << linear << 0.5 << 2.0 << 0.0 << 0.0;
    // A band's power plus the floor, from silence to far above full scale.
    QTest::newRow("log10f band powers") << Fn::Log10F << bits << 1e-12 << 1e6 << 0.0 << 0.0;
    QTest::newRow("log10 every octave") << Fn::Log10D << bits << minSubD << maxD << 0.0 << 0.0;
    QTest::newRow("log10 near 1") << Fn::Log10D << linear << 0.5 << 2.0 << 0.0 << 0.0;
    QTest::newRow("log2f every octave") << Fn::Log2F << bits << minSub << maxF << 0.0 << 0.0;
    QTest::newRow("log2f near 1") << Fn::Log2F << linear << 0.5 << 2.0 << 0.0 << 0.0;
    // The band map's ratio to a fraction of the bands, and the whole range of both arguments.
    QTest::newRow("powf band edges") << Fn::PowF << bits << 1.0 << 1e4 << 0.0 << 1.0;
    QTest::newRow("powf small bases") << Fn::PowF << bits << minSub << 1.0 << -1.0 << 1.0;
    QTest::newRow("powf large bases") << Fn::PowF << bits << 1.0 << maxF << -4.0 << 4.0;
    QTest::newRow("powf big exponents") << Fn::PowF << linear << 0.25 << 4.0 << -90.0 << 90.0;
    QTest::newRow("expf finite range") << Fn::ExpF << linear << -104.0 << 89.0 << 0.0 << 0.0;
    QTest::newRow("expf near 0") << Fn::ExpF << linear << -0.75 << 0.75 << 0.0 << 0.0;
    QTest::newRow("sin two turns") << Fn::Sin << linear << -7.0 << 7.0 << 0.0 << 0.0;
    QTest::newRow("cos two turns") << Fn::Cos << linear << -7.0 << 7.0 << 0.0 << 0.0;
    QTest::newRow("sin near 0") << Fn::Sin << bits << 1e-12 << 0.5 << 0.0 << 0.0;
    QTest::newRow("cos near 0") << Fn::Cos << bits << 1e-12 << 0.5 << 0.0 << 0.0;
    QTest::newRow("sin wide") << Fn::Sin << linear << -0x1p20 << 0x1p20 << 0.0 << 0.0;
    QTest::newRow("cos wide") << Fn::Cos << linear << -0x1p20 << 0x1p20 << 0.0 << 0.0;
    const auto turns = Spacing::NearQuarterTurns;
    QTest::newRow("sin near k pi/2") << Fn::Sin << turns << 1.0 << 6.6e5 << 0.0 << 0.0;
    QTest::newRow("cos near k pi/2") << Fn::Cos << turns << 1.0 << 6.6e5 << 0.0 << 0.0;
}

void tst_ExactMath::sweepsStayWithinTheBound()
{
    QFETCH(Fn, fn);
    QFETCH(Spacing, spacing);
    QFETCH(double, lo);
    QFETCH(double, hi);
    QFETCH(double, yLo);
    QFETCH(double, yHi);
    const std::int64_t bound = isFloatFn(fn) ? kFloatUlps : kDoubleUlps;
    int misses = 0;
    for (int i = 0; i < kSweepPoints; ++i) {
        const double x = pointAt(spacing, lo, hi, i);
        // The golden ratio's fraction scatters the exponents over their range.
        const double spread = static_cast<double>(i) * 0.6180339887498949;
        const double y = yLo + (yHi - yLo) * (spread - std::floor(spread));
        const double got = evaluate(fn, x, y);
        const double expected = reference(fn, x, y);
        const std::int64_t ulps = ulpDistance(fn, got, expected);
        QVERIFY2(ulps <= bound, describePoint("ulps", i, x, y, got, expected).constData());
        misses += ulps != 0 ? 1 : 0;
    }
    if (isFloatFn(fn))
        QVERIFY2(misses <= kSweepPoints / kPointsPerMiss,
            qPrintable(QStringLiteral("%1 of %2 points miss the rounded C library result")
                           .arg(misses)
                           .arg(kSweepPoints)));
}

void tst_ExactMath::edgeInputs_data()
{
    QTest::addColumn<Fn>("fn");
    QTest::addColumn<double>("x");
    QTest::addColumn<double>("y");
    QTest::addColumn<double>("expected");
    // 0: these exact bits, the sign of a zero included; else within this many ulps.
    QTest::addColumn<qint64>("ulps");
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double minSub = std::numeric_limits<float>::denorm_min();
    const double minSubD = std::numeric_limits<double>::denorm_min();
    const double maxF = std::numeric_limits<float>::max();
    QTest::newRow("log10f 0") << Fn::Log10F << 0.0 << 0.0 << -inf << qint64(0);
    QTest::newRow("log10f -0") << Fn::Log10F << -0.0 << 0.0 << -inf << qint64(0);
    QTest::newRow("log10f 1") << Fn::Log10F << 1.0 << 0.0 << 0.0 << qint64(0);
    QTest::newRow("log10f 1000") << Fn::Log10F << 1000.0 << 0.0 << 3.0 << qint64(0);
    QTest::newRow("log10f -1") << Fn::Log10F << -1.0 << 0.0 << nan << qint64(0);
    QTest::newRow("log10f +inf") << Fn::Log10F << inf << 0.0 << inf << qint64(0);
    QTest::newRow("log10f -inf") << Fn::Log10F << -inf << 0.0 << nan << qint64(0);
    QTest::newRow("log10f NaN") << Fn::Log10F << nan << 0.0 << nan << qint64(0);
    QTest::newRow("log10f subnormal")
        << Fn::Log10F << minSub << 0.0 << reference(Fn::Log10F, minSub, 0.0) << kFloatUlps;
    QTest::newRow("log10f largest")
        << Fn::Log10F << maxF << 0.0 << reference(Fn::Log10F, maxF, 0.0) << kFloatUlps;
    QTest::newRow("log10 0") << Fn::Log10D << 0.0 << 0.0 << -inf << qint64(0);
    QTest::newRow("log10 1") << Fn::Log10D << 1.0 << 0.0 << 0.0 << qint64(0);
    QTest::newRow("log10 1e-300") << Fn::Log10D << 1e-300 << 0.0 << std::log10(1e-300)
                                  << kDoubleUlps;
    QTest::newRow("log10 subnormal")
        << Fn::Log10D << minSubD << 0.0 << std::log10(minSubD) << kDoubleUlps;
    QTest::newRow("log10 -1") << Fn::Log10D << -1.0 << 0.0 << nan << qint64(0);
    QTest::newRow("log10 +inf") << Fn::Log10D << inf << 0.0 << inf << qint64(0);
    QTest::newRow("log10 NaN") << Fn::Log10D << nan << 0.0 << nan << qint64(0);
    QTest::newRow("log2f 0") << Fn::Log2F << 0.0 << 0.0 << -inf << qint64(0);
    QTest::newRow("log2f 8") << Fn::Log2F << 8.0 << 0.0 << 3.0 << qint64(0);
    QTest::newRow("log2f subnormal") << Fn::Log2F << minSub << 0.0 << -149.0 << qint64(0);
    QTest::newRow("log2f -1") << Fn::Log2F << -1.0 << 0.0 << nan << qint64(0);
    QTest::newRow("log2f +inf") << Fn::Log2F << inf << 0.0 << inf << qint64(0);
    QTest::newRow("log2f NaN") << Fn::Log2F << nan << 0.0 << nan << qint64(0);
    QTest::newRow("expf 0") << Fn::ExpF << 0.0 << 0.0 << 1.0 << qint64(0);
    QTest::newRow("expf -0") << Fn::ExpF << -0.0 << 0.0 << 1.0 << qint64(0);
    QTest::newRow("expf overflow") << Fn::ExpF << 89.0 << 0.0 << inf << qint64(0);
    QTest::newRow("expf beyond the limit") << Fn::ExpF << 1e30 << 0.0 << inf << qint64(0);
    QTest::newRow("expf smallest subnormal")
        << Fn::ExpF << -103.5 << 0.0 << reference(Fn::ExpF, -103.5, 0.0) << kFloatUlps;
    QTest::newRow("expf underflow") << Fn::ExpF << -104.0 << 0.0 << 0.0 << qint64(0);
    QTest::newRow("expf -1e30") << Fn::ExpF << -1e30 << 0.0 << 0.0 << qint64(0);
    QTest::newRow("expf +inf") << Fn::ExpF << inf << 0.0 << inf << qint64(0);
    QTest::newRow("expf -inf") << Fn::ExpF << -inf << 0.0 << 0.0 << qint64(0);
    QTest::newRow("expf NaN") << Fn::ExpF << nan << 0.0 << nan << qint64(0);
    // pow: exact powers and the ends of the float range; outside its domain NaN.
    QTest::newRow("powf 2^10") << Fn::PowF << 2.0 << 10.0 << 1024.0 << qint64(0);
    QTest::newRow("powf x^0") << Fn::PowF << 3.0 << 0.0 << 1.0 << qint64(0);
    QTest::newRow("powf overflow") << Fn::PowF << 2.0 << 128.0 << inf << qint64(0);
    QTest::newRow("powf underflow") << Fn::PowF << 2.0 << -152.0 << 0.0 << qint64(0);
    QTest::newRow("powf subnormal") << Fn::PowF << 2.0 << -149.0 << minSub << qint64(0);
    QTest::newRow("powf 0^1") << Fn::PowF << 0.0 << 1.0 << nan << qint64(0);
    QTest::newRow("powf -2^2") << Fn::PowF << -2.0 << 2.0 << nan << qint64(0);
    QTest::newRow("powf inf^1") << Fn::PowF << inf << 1.0 << nan << qint64(0);
    QTest::newRow("powf 2^inf") << Fn::PowF << 2.0 << inf << nan << qint64(0);
    QTest::newRow("powf 2^NaN") << Fn::PowF << 2.0 << nan << nan << qint64(0);
    QTest::newRow("sin 0") << Fn::Sin << 0.0 << 0.0 << 0.0 << qint64(0);
    QTest::newRow("sin -0") << Fn::Sin << -0.0 << 0.0 << -0.0 << qint64(0);
    QTest::newRow("sin subnormal") << Fn::Sin << -minSubD << 0.0 << -minSubD << qint64(0);
    QTest::newRow("sin +inf") << Fn::Sin << inf << 0.0 << nan << qint64(0);
    QTest::newRow("sin NaN") << Fn::Sin << nan << 0.0 << nan << qint64(0);
    QTest::newRow("cos -0") << Fn::Cos << -0.0 << 0.0 << 1.0 << qint64(0);
    QTest::newRow("cos -inf") << Fn::Cos << -inf << 0.0 << nan << qint64(0);
    QTest::newRow("cos NaN") << Fn::Cos << nan << 0.0 << nan << qint64(0);
    // Past the documented domain: NaN rather than a value of unknown accuracy.
    QTest::newRow("sin beyond 2^20") << Fn::Sin << 0x1.00001p20 << 0.0 << nan << qint64(0);
    QTest::newRow("cos beyond -2^20") << Fn::Cos << -0x1.00001p20 << 0.0 << nan << qint64(0);
}

void tst_ExactMath::edgeInputs()
{
    QFETCH(Fn, fn);
    QFETCH(double, x);
    QFETCH(double, y);
    QFETCH(double, expected);
    QFETCH(qint64, ulps);
    const double got = evaluate(fn, x, y);
    const bool sameZero = ulps != 0 || std::signbit(got) == std::signbit(expected);
    QVERIFY2(ulpDistance(fn, got, expected) <= ulps && sameZero,
        describePoint("result", 0, x, y, got, expected).constData());
}

QTEST_APPLESS_MAIN(tst_ExactMath)
#include "tst_exactmath.moc"
