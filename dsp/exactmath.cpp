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
    // -1/2, 1/3, ... 1/7: log(1 + f) = f + f^2 (-1/2 + f/3 - ...) for |f| <= 0.0080; the next
    // term would add under 2^-51 relative.
    constexpr double kLogSmallCoeffs[]
        = { -1.0 / 2.0, 1.0 / 3.0, -1.0 / 4.0, 1.0 / 5.0, -1.0 / 6.0, 1.0 / 7.0 };
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

    // The float logarithms write a float as 2^k m with m in [0.69921875, 1.3984375) (the float
    // kLogOffsetBits and twice it), so that k = 0 around 1, and split that range into 64 steps
    // by the six bits below the exponent. Step i holds c, the inverse of its centre to 10 bits
    // (1 for the step around 1), so that m c is exact and m c - 1 lies within 0.0080 of 0; and
    // -log(c) rounded to double. Then log m = -log(c) + log(1 + (m c - 1)).
    struct LogStep {
        double c;
        double minusLogC;
    };
    constexpr std::uint32_t kLogOffsetBits = 0x3f330000u;
    constexpr int kFloatMantissaBits = 23;
    constexpr int kLogStepShift = kFloatMantissaBits - 6;
    constexpr std::uint32_t kLogStepMask = 63u;
    constexpr std::uint32_t kFloatExponentMask = 0xff800000u;
    constexpr float kSmallestNormalF = 0x1p-126f;
    constexpr float kSubnormalScaleF = 0x1p23f;
    constexpr LogStep kLogSteps[] = {
        { 0x1.6cp+0, -0x1.686c81e9b14afp-2 },
        { 0x1.68p+0, -0x1.5d1bdbf5809cap-2 },
        { 0x1.64p+0, -0x1.51aad872df82dp-2 },
        { 0x1.608p+0, -0x1.478cd5959b3d9p-2 },
        { 0x1.5c8p+0, -0x1.3bdd24eb14b6ap-2 },
        { 0x1.59p+0, -0x1.31871c9544185p-2 },
        { 0x1.558p+0, -0x1.27161913f853dp-2 },
        { 0x1.52p+0, -0x1.1c898c16999fbp-2 },
        { 0x1.4e8p+0, -0x1.11e0e2dad9cb7p-2 },
        { 0x1.4bp+0, -0x1.071b85fcd590dp-2 },
        { 0x1.478p+0, -0x1.f871b28955045p-3 },
        { 0x1.448p+0, -0x1.e598ed5a87e2fp-3 },
        { 0x1.418p+0, -0x1.d293581b6b3e7p-3 },
        { 0x1.3ep+0, -0x1.bc286742d8cd6p-3 },
        { 0x1.3bp+0, -0x1.a8becfc882f19p-3 },
        { 0x1.38p+0, -0x1.9525a9cf456b4p-3 },
        { 0x1.35p+0, -0x1.815c0a14357ebp-3 },
        { 0x1.32p+0, -0x1.6d60fe719d21dp-3 },
        { 0x1.2f8p+0, -0x1.5c940075972b9p-3 },
        { 0x1.2c8p+0, -0x1.483bccce6e3ddp-3 },
        { 0x1.2ap+0, -0x1.371fc201e8f74p-3 },
        { 0x1.27p+0, -0x1.2266f190a5acbp-3 },
        { 0x1.248p+0, -0x1.10f8e422539b1p-3 },
        { 0x1.22p+0, -0x1.fec9131dbeabbp-4 },
        { 0x1.1f8p+0, -0x1.db5270187d927p-4 },
        { 0x1.1dp+0, -0x1.b78c82bb0eda1p-4 },
        { 0x1.1a8p+0, -0x1.9375e55595edep-4 },
        { 0x1.18p+0, -0x1.6f0d28ae56b4cp-4 },
        { 0x1.158p+0, -0x1.4a50d3aa1b04p-4 },
        { 0x1.138p+0, -0x1.2cb0283f5de1fp-4 },
        { 0x1.11p+0, -0x1.075983598e471p-4 },
        { 0x1.0fp+0, -0x1.d276b8adb0b52p-5 },
        { 0x1.0c8p+0, -0x1.868a83083f6cfp-5 },
        { 0x1.0a8p+0, -0x1.494acc34d911cp-5 },
        { 0x1.088p+0, -0x1.0b94f7c196176p-5 },
        { 0x1.06p+0, -0x1.7b91b07d5b11bp-6 },
        { 0x1.04p+0, -0x1.fc0a8b0fc03e4p-7 },
        { 0x1.02p+0, -0x1.fe02a6b106789p-8 },
        { 0x1p+0, 0.0 },
        { 0x1.f8p-1, 0x1.0205658935847p-6 },
        { 0x1.f08p-1, 0x1.f7a9b16782856p-6 },
        { 0x1.e9p-1, 0x1.788595a3577bap-5 },
        { 0x1.e2p-1, 0x1.eea31c006b87cp-5 },
        { 0x1.dbp-1, 0x1.333d7f8183f4bp-4 },
        { 0x1.d4p-1, 0x1.700d30aeac0e1p-4 },
        { 0x1.cd8p-1, 0x1.a956d3ecade63p-4 },
        { 0x1.c7p-1, 0x1.e3707ee30487bp-4 },
        { 0x1.c1p-1, 0x1.0ce7ecdccc28dp-3 },
        { 0x1.bbp-1, 0x1.28753bc11aba5p-3 },
        { 0x1.b5p-1, 0x1.4462b9dc9b3dcp-3 },
        { 0x1.afp-1, 0x1.60b3100b09476p-3 },
        { 0x1.a98p-1, 0x1.7b0091651528cp-3 },
        { 0x1.a4p-1, 0x1.95a5adcf7017fp-3 },
        { 0x1.9fp-1, 0x1.ae2ca6f672bd4p-3 },
        { 0x1.998p-1, 0x1.c97f8079d44ecp-3 },
        { 0x1.948p-1, 0x1.e2a877a6b2c12p-3 },
        { 0x1.8f8p-1, 0x1.fc218be620a5ep-3 },
        { 0x1.8bp-1, 0x1.09aa572e6c6d4p-2 },
        { 0x1.86p-1, 0x1.16b5ccbacfb73p-2 },
        { 0x1.818p-1, 0x1.22981fbef797bp-2 },
        { 0x1.7dp-1, 0x1.2e9e2bce12286p-2 },
        { 0x1.788p-1, 0x1.3ac8ca38e5c5fp-2 },
        { 0x1.748p-1, 0x1.45b8c0a17df13p-2 },
        { 0x1.7p-1, 0x1.522ae0738a3d8p-2 },
    };
    static_assert(sizeof kLogSteps / sizeof kLogSteps[0] == kLogStepMask + 1, "one step per index");

    template <std::size_t N> double horner(const double (&coeffs)[N], double x)
    {
        double p = coeffs[N - 1];
        for (std::size_t i = N - 1; i > 0; --i)
            p = p * x + coeffs[i - 1];
        return p;
    }

    // The same bits read as another type of the same size (std::bit_cast from C++20 on).
    template <typename To, typename From> To bitCast(From x)
    {
        static_assert(sizeof(To) == sizeof(From), "same size");
        To to;
        std::memcpy(&to, &x, sizeof to);
        return to;
    }

    // x = 2^k m with m in [sqrt(1/2), sqrt(2)); x positive, finite and normal. m - 1 is exact.
    struct Octave {
        int k;
        double m;
    };

    Octave splitOctave(double x)
    {
        const std::uint64_t bits = bitCast<std::uint64_t>(x);
        const std::uint64_t mantissa = bits & kMantissaMask;
        // Without a branch: levels fall on either side at random.
        const int up = mantissa >= kSqrt2Mantissa ? 1 : 0;
        const int k = static_cast<int>(bits >> kMantissaBits) - kExponentBias + up;
        const auto exponent = static_cast<std::uint64_t>(kExponentBias - up);
        return { k, bitCast<double>(mantissa | (exponent << kMantissaBits)) };
    }

    // log(1 + f) for f from splitOctave, to double precision. f itself is exact and the rest is
    // a correction under a fifth of it, so the result stays within about half an ulp.
    double logOnePlus(double f)
    {
        const double s = f / (2.0 + f);
        const double z = s * s;
        const double r = z * horner(kAtanhCoeffs, z);
        const double halfSquare = 0.5 * f * f;
        return f - (halfSquare - s * (halfSquare + r));
    }

    // log(1 + f) for |f| <= 0.0080 to under 2^-51 relative; the terms pair up (Estrin's scheme)
    // instead of forming one long chain.
    double logOnePlusSmall(double f)
    {
        const double f2 = f * f;
        const double* c = kLogSmallCoeffs;
        const double q
            = ((c[0] + c[1] * f) + f2 * (c[2] + c[3] * f)) + (f2 * f2) * (c[4] + c[5] * f);
        return f + f2 * q;
    }

    // The natural log of a positive, finite float as k ln 2 + logM, logM to about 2^-50
    // relative: enough for one rounding to float, with neither the division nor the long series
    // of the double path. The band levels' hot path.
    struct FloatLog {
        int k;
        double logM;
    };

    FloatLog logOfFloat(float x)
    {
        int k = 0;
        if (x < kSmallestNormalF) {
            x *= kSubnormalScaleF;
            k = -kFloatMantissaBits;
        }
        const std::uint32_t bits = bitCast<std::uint32_t>(x);
        const std::uint32_t shifted = bits - kLogOffsetBits;
        // The top nine bits of shifted are the exponent of 2 as a two's complement number.
        k += static_cast<int>(shifted >> kFloatMantissaBits)
            - static_cast<int>((shifted >> 31) << (32 - kFloatMantissaBits));
        const LogStep& step = kLogSteps[(shifted >> kLogStepShift) & kLogStepMask];
        const double m = bitCast<float>(bits - (shifted & kFloatExponentMask));
        return { k, step.minusLogC + logOnePlusSmall(m * step.c - 1.0) };
    }

    // Natural log of a positive, finite, normal double.
    double logPositive(double x)
    {
        const Octave o = splitOctave(x);
        return o.k * kLn2Hi + (o.k * kLn2Lo + logOnePlus(o.m - 1.0));
    }

    // e^t for |t| <= kExpLimit: t = k ln 2 + r with |r| <= ln(2) / 2, e^t = 2^k e^r.
    double expLimited(double t)
    {
        const double scaled = t * kInvLn2;
        const int k = static_cast<int>(scaled < 0.0 ? scaled - 0.5 : scaled + 0.5);
        // k ln2Hi is exact and close to t, so the first subtraction is exact too.
        const double r = (t - k * kLn2Hi) - k * kLn2Lo;
        const double er = 1.0 + r * (1.0 + r * horner(kExpCoeffs, r));
        return er * bitCast<double>(static_cast<std::uint64_t>(k + kExponentBias) << kMantissaBits);
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

} // namespace

float exactLog10(float x)
{
    if (!(x > 0.0f) || x == kInfinityF)
        return logOfEdge(x);
    const FloatLog l = logOfFloat(x);
    return static_cast<float>(l.k * kLog10Of2 + l.logM * kInvLn10);
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
    return k * kLog10Of2Hi + (k * kLog10Of2Lo + logOnePlus(o.m - 1.0) * kInvLn10);
}

float exactLog2(float x)
{
    if (!(x > 0.0f) || x == kInfinityF)
        return logOfEdge(x);
    const FloatLog l = logOfFloat(x);
    return static_cast<float>(l.k + l.logM * kInvLn2);
}

float exactPow(float x, float y)
{
    if (!(x > 0.0f) || x == kInfinityF || std::isnan(y) || y == kInfinityF || y == -kInfinityF)
        return kNanF;
    const double t = y * logPositive(x);
    if (t > kExpLimit)
        return kInfinityF;
    if (t < -kExpLimit)
        return 0.0f;
    return static_cast<float>(expLimited(t));
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
