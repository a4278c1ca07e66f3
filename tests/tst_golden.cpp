// Bit-exact reference results: a fixed, seeded input run through the power spectrum and through
// the whole analyzer, reduced to FNV-1a hashes of every output bit. Any change to the order or
// kind of arithmetic in the transform, the levels, the band map or the ballistics moves a hash;
// a faster implementation must leave all of them alone.
//
// The input is made with integer arithmetic only, and every float it yields is exact, so the
// hashes depend on nothing but IEEE single and double arithmetic (round to nearest, subnormals
// kept) and the results of glibc's libm (cos, sin, exp, pow, log2, log10 in the tables and
// levels). NaNs hash as one value: IEEE leaves their payloads open, and only where a NaN appears
// is part of the contract.

#include "dsp/realfft.h"
#include "dsp/spectrumanalyzer.h"

#include <QTest>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

Q_DECLARE_METATYPE(std::vector<quint64>)

namespace {

constexpr int kHops = 600;
constexpr int kCheckpointEvery = 100;
constexpr std::uint64_t kFnvOffset = 14695981039346656037ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

struct Fnv1a {
    std::uint64_t value = kFnvOffset;

    void addWord(std::uint32_t word)
    {
        for (int shift = 0; shift < 32; shift += 8) {
            value ^= (word >> shift) & 0xffu;
            value *= kFnvPrime;
        }
    }
    void addFloat(float f)
    {
        std::uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        const bool nan = (bits & 0x7f800000u) == 0x7f800000u && (bits & 0x007fffffu) != 0;
        addWord(nan ? 0x7fc00000u : bits);
    }
};

// SplitMix64: a fixed sequence on every platform, unlike the standard library's distributions.
struct SplitMix64 {
    std::uint64_t state;

    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in -2^23..2^23 - 1.
    std::int32_t next24() { return static_cast<std::int32_t>(next() >> 40) - (1 << 23); }
};

constexpr float kTwoToMinus23 = 1.0f / 8388608.0f;

// The test signal: coloured noise plus a triangle wave, in integers below 2^24 in magnitude, so
// converting to float and scaling by a power of two is exact. The hop decides the level, which
// walks the analyzer through loud audio, a quieter tone, a level under the AGC gate, exact
// silence, subnormal samples and full scale again.
class Signal {
public:
    explicit Signal(std::uint64_t seed)
        : noise_ { seed }
    {
    }

    void fillHop(int hop, float* out, unsigned count)
    {
        float gain;
        int toneShift;
        if (hop < 120) {
            gain = 0.5f;
            toneShift = 4;
        } else if (hop < 200) {
            gain = 0.125f;
            toneShift = 0;
        } else if (hop < 280) {
            gain = 1.0f / 4096.0f;
            toneShift = 1;
        } else if (hop < 360) {
            gain = 0.0f;
            toneShift = 0;
        } else if (hop < 420) {
            gain = 0x1p-130f;
            toneShift = 2;
        } else {
            gain = 1.0f;
            toneShift = 1;
        }
        // The triangle's period changes with the hop, so the loudest band moves around.
        const std::int64_t period = 40 + (hop / 30) * 37;
        for (unsigned i = 0; i < count; ++i) {
            const std::int64_t white = noise_.next24();
            lowpass_ += (white - lowpass_) / 8;
            const std::int64_t p = phase_ % period;
            const std::int64_t triangle = (p < period / 2 ? p : period - p) * (1 << 22) / period;
            phase_ += 1;
            const std::int64_t sample = lowpass_ + white / 16 + (triangle >> toneShift);
            out[i] = static_cast<float>(sample) * kTwoToMinus23 * gain;
        }
    }

private:
    SplitMix64 noise_;
    std::int64_t lowpass_ = 0;
    std::int64_t phase_ = 0;
};

// Infinities, NaNs, huge values whose squares overflow, and negative zeros, sprinkled into the
// signal of chosen hops; each reaches the buffer and leaves it again after one FFT length.
void spoil(int hop, float* samples, unsigned count)
{
    const float infinity = std::numeric_limits<float>::infinity();
    const unsigned at = count / 3;
    switch (hop) {
    case 30:
        samples[at] = infinity;
        break;
    case 60:
        samples[at] = -infinity;
        samples[at + 7] = infinity;
        break;
    case 90:
        samples[at] = std::numeric_limits<float>::quiet_NaN();
        break;
    case 120:
        samples[at] = 3.0e38f;
        samples[at + 1] = -3.0e38f;
        break;
    case 150:
        for (unsigned i = 0; i < count; ++i)
            samples[i] = -0.0f;
        break;
    default:
        break;
    }
}

QByteArray hex(std::uint64_t value)
{
    return "0x" + QByteArray::number(static_cast<qulonglong>(value), 16).rightJustified(16, '0');
}

} // namespace

class tst_Golden : public QObject {
    Q_OBJECT

private slots:
    void powerSpectrumBits_data();
    void powerSpectrumBits();
    void analyzerFrameBits_data();
    void analyzerFrameBits();
};

void tst_Golden::powerSpectrumBits_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("spoiled");
    QTest::addColumn<quint64>("expected");
    // The non-finite rows pin what comes out of bad input: a huge sample overflows every bin to
    // infinity, an infinite one turns every bin into NaN (through 0 * inf in the butterflies).
    QTest::newRow("2") << 2 << false << Q_UINT64_C(0x934d023be403e059);
    QTest::newRow("4") << 4 << false << Q_UINT64_C(0xb755f332ebacb6ad);
    QTest::newRow("8") << 8 << false << Q_UINT64_C(0xf7fbf065f1200d79);
    QTest::newRow("16") << 16 << false << Q_UINT64_C(0xd2bab32e53aecf6e);
    QTest::newRow("32") << 32 << false << Q_UINT64_C(0x2d1354368577e037);
    QTest::newRow("64") << 64 << false << Q_UINT64_C(0x62d9c07166d44406);
    QTest::newRow("1024") << 1024 << false << Q_UINT64_C(0xda9081eee60fe4f6);
    QTest::newRow("2048") << 2048 << false << Q_UINT64_C(0x7579fcd99492253d);
    QTest::newRow("4096") << 4096 << false << Q_UINT64_C(0xe037f04c8864c0b7);
    QTest::newRow("8192") << 8192 << false << Q_UINT64_C(0xd914de3e8a8986ee);
    QTest::newRow("1024 non-finite") << 1024 << true << Q_UINT64_C(0xaec653a789721e05);
    QTest::newRow("8192 non-finite") << 8192 << true << Q_UINT64_C(0x26856fd2895ade05);
}

void tst_Golden::powerSpectrumBits()
{
    QFETCH(int, size);
    QFETCH(bool, spoiled);
    QFETCH(quint64, expected);

    // The small sizes hold every edge case of the stage loops. Four blocks in a row through one
    // object, so leftovers in its work arrays would show too.
    dsp::HannWindow window;
    window.resize(size);
    dsp::RealFft fft(size);
    Signal signal(0x5eed0000u + static_cast<unsigned>(size));
    std::vector<float> samples(static_cast<std::size_t>(size));
    std::vector<float> windowed(samples.size());
    std::vector<float> power(samples.size() / 2 + 1);
    Fnv1a hash;
    for (int block = 0; block < 4; ++block) {
        signal.fillHop(block * 150, samples.data(), static_cast<unsigned>(size));
        if (spoiled) {
            samples[static_cast<std::size_t>(size / 4 + block)] = 1.0e30f;
            samples[static_cast<std::size_t>(size / 2 - block)]
                = block == 2 ? std::numeric_limits<float>::infinity() : -0.0f;
        }
        window.apply(samples.data(), windowed.data());
        fft.powerSpectrum(windowed.data(), window.sum(), power.data());
        for (float p : power)
            hash.addFloat(p);
    }
    QVERIFY2(hash.value == expected,
        "size " + QByteArray::number(size) + ": hash " + hex(hash.value) + ", expected "
            + hex(expected));
}

void tst_Golden::analyzerFrameBits_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<bool>("spoiled");
    // Hash of all frames so far after every 100th hop.
    QTest::addColumn<std::vector<quint64>>("expected");
    QTest::newRow("44.1 kHz") << 44100.0 << false
                              << std::vector<quint64> { Q_UINT64_C(0x9a38c47643c2371e),
                                     Q_UINT64_C(0x391b52294602460c), Q_UINT64_C(0xaf33934373531d7a),
                                     Q_UINT64_C(0x8f6ba1a80b4e59ed), Q_UINT64_C(0xae4977301852c3ad),
                                     Q_UINT64_C(0x859052a858ea00bb) };
    QTest::newRow("48 kHz") << 48000.0 << false
                            << std::vector<quint64> { Q_UINT64_C(0xe6cbbc3607edb0ea),
                                   Q_UINT64_C(0xfbdfd57b742f3d92), Q_UINT64_C(0xd135d329bf38f63b),
                                   Q_UINT64_C(0xa98047ea9a9b2ccb), Q_UINT64_C(0x96ceac8495214191),
                                   Q_UINT64_C(0x3a7d5e8973735a07) };
    QTest::newRow("96 kHz") << 96000.0 << false
                            << std::vector<quint64> { Q_UINT64_C(0x7116ebe0da70375b),
                                   Q_UINT64_C(0x447c8be10fc82b54), Q_UINT64_C(0x098e59d6f0a36f2f),
                                   Q_UINT64_C(0x2df0a49f4b51041b), Q_UINT64_C(0x7ed816aed26ad663),
                                   Q_UINT64_C(0xd12bd3da8dd077c4) };
    QTest::newRow("48 kHz non-finite")
        << 48000.0 << true
        << std::vector<quint64> { Q_UINT64_C(0xf3979be1f83c1fd5), Q_UINT64_C(0x578f0c99ae3686c2),
               Q_UINT64_C(0x279aa1381663c2e4), Q_UINT64_C(0x3c070ea1bfeeb1ac),
               Q_UINT64_C(0x336b91fd555ddc30), Q_UINT64_C(0x84867ace4867d237) };
}

void tst_Golden::analyzerFrameBits()
{
    QFETCH(double, rate);
    QFETCH(bool, spoiled);
    QFETCH(std::vector<quint64>, expected);

    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(rate, dsp::kDefaultBands);
    const unsigned hopLength = static_cast<unsigned>(rate / dsp::kFrameRateHz);
    std::vector<float> samples(hopLength);
    Signal signal(0x901d0000u + hopLength);
    dsp::SpectrumFrame frame;
    Fnv1a hash;
    std::vector<quint64> checkpoints;
    int frames = 0;
    for (int hop = 0; hop < kHops; ++hop) {
        signal.fillHop(hop, samples.data(), hopLength);
        if (spoiled)
            spoil(hop, samples.data(), hopLength);
        analyzer.pushSamples(samples.data(), hopLength);
        if (analyzer.process(frame)) {
            ++frames;
            hash.addWord(frame.seq);
            hash.addWord(static_cast<std::uint32_t>(frame.bandCount));
            for (int k = 0; k < dsp::kMaxBands; ++k)
                hash.addFloat(frame.bars[k]);
            for (int k = 0; k < dsp::kMaxBands; ++k)
                hash.addFloat(frame.peaks[k]);
            hash.addFloat(frame.presence);
            hash.addFloat(frame.rmsDb);
            hash.addFloat(frame.agcDb);
        }
        if ((hop + 1) % kCheckpointEvery == 0)
            checkpoints.push_back(hash.value);
    }
    QVERIFY2(frames > kHops - 8, QByteArray::number(frames));

    QCOMPARE(checkpoints.size(), expected.size());
    for (std::size_t i = 0; i < checkpoints.size(); ++i) {
        QVERIFY2(checkpoints[i] == expected[i],
            "first difference by hop "
                + QByteArray::number(static_cast<qulonglong>((i + 1) * kCheckpointEvery))
                + ": hash " + hex(checkpoints[i]) + ", expected " + hex(expected[i]));
    }
}

QTEST_APPLESS_MAIN(tst_Golden)
#include "tst_golden.moc"
