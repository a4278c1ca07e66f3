#include "dsp/exactmath.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace dsp {

namespace {

    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
    constexpr float kInfinityF = std::numeric_limits<float>::infinity();
    constexpr float kNanF = std::numeric_limits<float>::quiet_NaN();

    // ln 2 and log10 2 in two parts: the high parts end in 11 zero bits, so k times them is exact
    // for every binary exponent k a double can have.
    constexpr double kLn2Hi = 0x1.62e42fefa38p-1;
    constexpr double kLn2Lo = 0x1.ef35793c7673p-45;
    constexpr double kLog10Of2Hi = 0x1.34413509f78p-2;
    constexpr double kLog10Of2Lo = 0x1.fef311f12b358p-46;
    constexpr double kLog10Of2 = kLog10Of2Hi + kLog10Of2Lo;
    constexpr double kInvLn2 = 0x1.71547652b82fep+0;
    constexpr double kInvLn10 = 0x1.bcb7b1526e50ep-2;

    // pi / 2 in three parts: the first two hold 33 bits each, so n times them is exact for
    // |n| < 2^20; together they carry about 119 bits, enough to reduce the doubles closest to a
    // multiple of pi / 2 to a few ulp.
    constexpr double kPiOver2Part1 = 0x1.921fb544p+0;
    constexpr double kPiOver2Part2 = 0x1.0b4611a6p-34;
    constexpr double kPiOver2Part3 = 0x1.3198a2e037073p-69;
    constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
    constexpr double kMaxTrigArgument = 0x1p20;
    // Below it, sin x rounds to x and cos x to 1.
    constexpr double kTinyAngle = 0x1p-27;

    // The bits of the double mantissa of sqrt(2): mantissas at or above it move to the next
    // octave, so the reduced argument lies in [sqrt(1/2), sqrt(2)).
    constexpr std::uint64_t kSqrt2Mantissa = 0x6a09e667f3bcdull;
    constexpr std::uint64_t kMantissaMask = 0xfffffffffffffull;
    constexpr int kExponentBias = 1023;
    constexpr int kMantissaBits = 52;
    constexpr double kSmallestNormal = 0x1p-1022;
    constexpr double kSubnormalScale = 0x1p54;
    constexpr int kSubnormalScaleExponent = 54;

    // Past these the float results are 0 or infinity whatever the rounding: e^-200 and e^200 lie
    // far outside the float range, and well inside the double one.
    constexpr double kExpLimit = 200.0;

    // 2/3, 2/5, ... 2/23: log(1 + f) = 2 atanh(s) with s = f / (2 + f), |s| <= 0.1716; the next
    // term would add under 2^-65 relative.
    constexpr double kAtanhCoeffs[] = { 2.0 / 3.0, 2.0 / 5.0, 2.0 / 7.0, 2.0 / 9.0, 2.0 / 11.0,
        2.0 / 13.0, 2.0 / 15.0, 2.0 / 17.0, 2.0 / 19.0, 2.0 / 21.0, 2.0 / 23.0 };
    // 1/2!, ... 1/13!: the Taylor series of e^r for |r| <= ln(2) / 2; the next term adds about
    // 2^-58.
    constexpr double kExpCoeffs[] = { 1.0 / 2.0, 1.0 / 6.0, 1.0 / 24.0, 1.0 / 120.0, 1.0 / 720.0,
        1.0 / 5040.0, 1.0 / 40320.0, 1.0 / 362880.0, 1.0 / 3628800.0, 1.0 / 39916800.0,
        1.0 / 479001600.0, 1.0 / 6227020800.0 };
    // -1/3!, 1/5!, ... 1/17! and 1/4!, -1/6!, ... -1/18!: the Taylor series of sin and cos for
    // |r| <= pi / 4, truncated where the next term adds under 2^-60.
    constexpr double kSinCoeffs[] = { -1.0 / 6.0, 1.0 / 120.0, -1.0 / 5040.0, 1.0 / 362880.0,
        -1.0 / 39916800.0, 1.0 / 6227020800.0, -1.0 / 1307674368000.0, 1.0 / 355687428096000.0 };
    constexpr double kCosCoeffs[]
        = { 1.0 / 24.0, -1.0 / 720.0, 1.0 / 40320.0, -1.0 / 3628800.0, 1.0 / 479001600.0,
              -1.0 / 87178291200.0, 1.0 / 20922789888000.0, -1.0 / 6402373705728000.0 };

    template <std::size_t N> double horner(const double (&coeffs)[N], double x)
    {
        double p = coeffs[N - 1];
        for (std::size_t i = N - 1; i > 0; --i)
            p = p * x + coeffs[i - 1];
        return p;
    }

    std::uint64_t bitsOf(double x)
    {
        std::uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        return bits;
    }

    double fromBits(std::uint64_t bits)
    {
        double x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }

    // x = 2^k (1 + f) with 1 + f in [sqrt(1/2), sqrt(2)); x positive, finite and normal. f is
    // exact.
    struct Octave {
        int k;
        double f;
    };

    Octave splitOctave(double x)
    {
        const std::uint64_t bits = bitsOf(x);
        const std::uint64_t mantissa = bits & kMantissaMask;
        int k = static_cast<int>(bits >> kMantissaBits) - kExponentBias;
        std::uint64_t exponent = kExponentBias;
        if (mantissa >= kSqrt2Mantissa) {
            ++k;
            --exponent;
        }
        return { k, fromBits(mantissa | (exponent << kMantissaBits)) - 1.0 };
    }

    // log(1 + f) for f from splitOctave. f itself is exact and the rest is a correction under a
    // fifth of it, so the result stays within about half an ulp.
    double logOnePlus(double f)
    {
        const double s = f / (2.0 + f);
        const double z = s * s;
        const double r = z * horner(kAtanhCoeffs, z);
        const double halfSquare = 0.5 * f * f;
        return f - (halfSquare - s * (halfSquare + r));
    }

    // Natural log of a positive, finite, normal double.
    double logPositive(double x)
    {
        const Octave o = splitOctave(x);
        return o.k * kLn2Hi + (o.k * kLn2Lo + logOnePlus(o.f));
    }

    // e^t for |t| <= kExpLimit: t = k ln 2 + r with |r| <= ln(2) / 2, e^t = 2^k e^r.
    double expLimited(double t)
    {
        const double scaled = t * kInvLn2;
        const int k = static_cast<int>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
        // k ln2Hi is exact and close to t, so the first subtraction is exact too.
        const double r = (t - k * kLn2Hi) - k * kLn2Lo;
        const double er = 1.0 + r * (1.0 + r * horner(kExpCoeffs, r));
        return er * fromBits(static_cast<std::uint64_t>(k + kExponentBias) << kMantissaBits);
    }

    // x = n pi / 2 + (hi + lo), |hi + lo| <= pi / 4 (a little more where x * 2 / pi rounds), for
    // kTinyAngle <= |x| <= kMaxTrigArgument. quadrant is n mod 4.
    struct QuarterTurns {
        int quadrant;
        double hi;
        double lo;
    };

    QuarterTurns reduceQuarterTurns(double x)
    {
        const double scaled = x * kTwoOverPi;
        const int n = static_cast<int>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
        // Both products are exact, and so is the first difference: x lies within a factor of two
        // of n kPiOver2Part1 whenever n is not 0.
        const double a = x - n * kPiOver2Part1;
        const double b = n * kPiOver2Part2;
        // a - b with its rounding error (Knuth's two-sum), then the last part of n pi / 2.
        const double sum = a - b;
        const double bVirtual = sum - a;
        const double error = (a - (sum - bVirtual)) + (-b - bVirtual);
        const double tail = error - n * kPiOver2Part3;
        const double hi = sum + tail;
        const double lo = tail - (hi - sum);
        return { n & 3, hi, lo };
    }

    // sin(r + e) for |r| <= pi / 4 and |e| below an ulp of r.
    double sinReduced(double r, double e)
    {
        const double z = r * r;
        return r + (r * (z * horner(kSinCoeffs, z)) + e * (1.0 - 0.5 * z));
    }

    // cos(r + e) likewise. 1 - z / 2 loses its rounding error, which the second line adds back.
    double cosReduced(double r, double e)
    {
        const double z = r * r;
        const double half = 0.5 * z;
        const double w = 1.0 - half;
        return w + (((1.0 - w) - half) + (z * z * horner(kCosCoeffs, z) - r * e));
    }

    // C's log of what is not a positive finite number: -inf for zeros, +inf for +inf, NaN for
    // NaN and for negative numbers.
    template <typename T> T logOfEdge(T x)
    {
        if (x == T(0))
            return -std::numeric_limits<T>::infinity();
        if (x > T(0) || std::isnan(x))
            return x;
        return std::numeric_limits<T>::quiet_NaN();
    }

    enum class Parity { NotInteger, Odd, Even };

    Parity parityOf(float y)
    {
        const float magnitude = y < 0.0f ? -y : y;
        // Every float from 2^24 up is an even integer.
        if (magnitude >= 0x1p24f)
            return Parity::Even;
        const auto whole = static_cast<std::int32_t>(magnitude);
        if (static_cast<float>(whole) != magnitude)
            return Parity::NotInteger;
        return (whole & 1) != 0 ? Parity::Odd : Parity::Even;
    }

    // |x|^y for a base of 0 or infinity, and for y = +-infinity, as C's pow gives them.
    float powOfLimits(float magnitude, float y)
    {
        if (y == kInfinityF || y == -kInfinityF) {
            if (magnitude == 1.0f)
                return 1.0f;
            return (magnitude < 1.0f) == (y < 0.0f) ? kInfinityF : 0.0f;
        }
        return (magnitude == 0.0f) == (y < 0.0f) ? kInfinityF : 0.0f;
    }

} // namespace

float exactLog10(float x)
{
    if (!(x > 0.0f) || x == kInfinityF)
        return logOfEdge(x);
    // Every float, subnormals included, is a normal double.
    const Octave o = splitOctave(x);
    return static_cast<float>(o.k * kLog10Of2 + logOnePlus(o.f) * kInvLn10);
}

double exactLog10(double x)
{
    if (!(x > 0.0) || x == kInfinity)
        return logOfEdge(x);
    int adjust = 0;
    if (x < kSmallestNormal) {
        x *= kSubnormalScale;
        adjust = kSubnormalScaleExponent;
    }
    const Octave o = splitOctave(x);
    const int k = o.k - adjust;
    return k * kLog10Of2Hi + (k * kLog10Of2Lo + logOnePlus(o.f) * kInvLn10);
}

float exactLog2(float x)
{
    if (!(x > 0.0f) || x == kInfinityF)
        return logOfEdge(x);
    const Octave o = splitOctave(x);
    return static_cast<float>(o.k + logOnePlus(o.f) * kInvLn2);
}

float exactPow(float x, float y)
{
    if (y == 0.0f || x == 1.0f)
        return 1.0f;
    if (std::isnan(x) || std::isnan(y))
        return x + y;
    const Parity parity = parityOf(y);
    const bool negative = std::signbit(x);
    const float magnitude = negative ? -x : x;
    const bool finite = magnitude != kInfinityF && y != kInfinityF && y != -kInfinityF;
    if (negative && finite && magnitude != 0.0f && parity == Parity::NotInteger)
        return kNanF;
    const float sign = negative && parity == Parity::Odd ? -1.0f : 1.0f;
    if (!finite || magnitude == 0.0f) {
        // An infinite exponent makes every base an even power; -1 to it is 1.
        const bool infiniteY = y == kInfinityF || y == -kInfinityF;
        return (infiniteY ? 1.0f : sign) * powOfLimits(magnitude, y);
    }
    const double t = y * logPositive(magnitude);
    if (t > kExpLimit)
        return sign * kInfinityF;
    if (t < -kExpLimit)
        return sign * 0.0f;
    return sign * static_cast<float>(expLimited(t));
}

float exactExp(float x)
{
    if (std::isnan(x))
        return x;
    if (x > kExpLimit)
        return kInfinityF;
    if (x < -kExpLimit)
        return 0.0f;
    return static_cast<float>(expLimited(x));
}

double exactSin(double x)
{
    const double magnitude = x < 0.0 ? -x : x;
    if (magnitude < kTinyAngle)
        return x;
    if (!(magnitude <= kMaxTrigArgument))
        return kNan;
    const QuarterTurns q = reduceQuarterTurns(x);
    switch (q.quadrant) {
    case 0:
        return sinReduced(q.hi, q.lo);
    case 1:
        return cosReduced(q.hi, q.lo);
    case 2:
        return -sinReduced(q.hi, q.lo);
    default:
        return -cosReduced(q.hi, q.lo);
    }
}

double exactCos(double x)
{
    const double magnitude = x < 0.0 ? -x : x;
    if (magnitude < kTinyAngle)
        return 1.0;
    if (!(magnitude <= kMaxTrigArgument))
        return kNan;
    const QuarterTurns q = reduceQuarterTurns(x);
    switch (q.quadrant) {
    case 0:
        return cosReduced(q.hi, q.lo);
    case 1:
        return -sinReduced(q.hi, q.lo);
    case 2:
        return -cosReduced(q.hi, q.lo);
    default:
        return sinReduced(q.hi, q.lo);
    }
}

} // namespace dsp
