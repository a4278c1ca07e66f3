// Analyzer configuration, the sliding buffer, readiness, exact-zero counting, frame numbering and
// the level functions.

#include "dsp/spectrumanalyzer.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <vector>

using dsp::SpectrumAnalyzer;
using dsp::SpectrumFrame;

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr unsigned kHop = 800; // 1/60 s at 48 kHz

std::vector<float> sine(double freq, double amplitude, unsigned count, double rate = 48000.0)
{
    std::vector<float> samples(count);
    for (unsigned i = 0; i < count; ++i)
        samples[i] = static_cast<float>(std::sin(kTwoPi * freq * i / rate) * amplitude);
    return samples;
}

// Pushes `hops` hops of 800 samples of `samples` (repeated from its start) and processes each;
// returns how many produced a frame.
int runHops(SpectrumAnalyzer& a, const std::vector<float>& block, int hops, SpectrumFrame& frame)
{
    int produced = 0;
    for (int i = 0; i < hops; ++i) {
        a.pushSamples(block.data(), static_cast<unsigned>(block.size()));
        produced += a.process(frame) ? 1 : 0;
    }
    return produced;
}

const std::vector<float> kSilentHop(kHop, 0.0f);

} // namespace

class tst_SpectrumAnalyzer : public QObject {
    Q_OBJECT

private slots:
    void fftSizeFollowsTheSampleRate_data();
    void fftSizeFollowsTheSampleRate();
    void rejectedSampleRatesChangeNothing_data();
    void rejectedSampleRatesChangeNothing();
    void bandCountIsClamped_data();
    void bandCountIsClamped();
    void reconfigureRebuildsTablesAndRefills();
    void becomesReadyOnTheSixthHop();
    void longPushKeepsTheNewestSamples();
    void exactZeroCounting();
    void exactZeroNeedsTheWholeBufferSilent();
    void seqCountsEveryFrameAcrossConfigure();
    void silenceGivesTheFloorExactly();
    void rmsOfSines_data();
    void rmsOfSines();
    void levelFunctionEdges();
    void nonFiniteSamplesKeepTheDisplayFinite();
    void exactZeroTestReadsEverySample_data();
    void exactZeroTestReadsEverySample();
};

void tst_SpectrumAnalyzer::fftSizeFollowsTheSampleRate_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("size");
    QTest::newRow("1 Hz") << 1.0 << 1024;
    QTest::newRow("8 kHz") << 8000.0 << 1024;
    QTest::newRow("12058 Hz") << 12058.0 << 1024;
    QTest::newRow("12059 Hz") << 12059.0 << 2048;
    QTest::newRow("16 kHz") << 16000.0 << 2048;
    QTest::newRow("22.05 kHz") << 22050.0 << 2048;
    QTest::newRow("24105 Hz") << 24105.0 << 2048;
    QTest::newRow("24106 Hz") << 24106.0 << 4096;
    QTest::newRow("32 kHz") << 32000.0 << 4096;
    QTest::newRow("44.1 kHz") << 44100.0 << 4096;
    QTest::newRow("48 kHz") << 48000.0 << 4096;
    QTest::newRow("48199 Hz") << 48199.0 << 4096;
    QTest::newRow("48200 Hz") << 48200.0 << 8192;
    QTest::newRow("88.2 kHz") << 88200.0 << 8192;
    QTest::newRow("96 kHz") << 96000.0 << 8192;
    QTest::newRow("192 kHz") << 192000.0 << 8192;
    QTest::newRow("denormal") << std::numeric_limits<double>::denorm_min() << 1024;
    QTest::newRow("1e10 Hz (window overflows int)") << 1e10 << 8192;
    QTest::newRow("max double") << std::numeric_limits<double>::max() << 8192;
}

void tst_SpectrumAnalyzer::fftSizeFollowsTheSampleRate()
{
    QFETCH(double, rate);
    QFETCH(int, size);
    SpectrumAnalyzer a;
    a.configure(rate, 28);
    QCOMPARE(a.fftSize(), size);
    // Ready after exactly one window of samples, and the frame it gives is sane.
    const std::vector<float> block(static_cast<std::size_t>(size) - 1, 0.25f);
    SpectrumFrame frame;
    a.pushSamples(block.data(), static_cast<unsigned>(block.size()));
    QVERIFY(!a.process(frame));
    a.pushSamples(block.data(), 1);
    QVERIFY(a.process(frame));
    QVERIFY2(std::abs(frame.rmsDb - -12.0412f) < 1e-3f, QByteArray::number(frame.rmsDb));
}

void tst_SpectrumAnalyzer::rejectedSampleRatesChangeNothing_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("0") << 0.0;
    QTest::newRow("-0") << -0.0;
    QTest::newRow("-1") << -1.0;
    QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("+inf") << std::numeric_limits<double>::infinity();
    QTest::newRow("-inf") << -std::numeric_limits<double>::infinity();
}

void tst_SpectrumAnalyzer::rejectedSampleRatesChangeNothing()
{
    QFETCH(double, rate);
    SpectrumAnalyzer fresh;
    fresh.configure(rate, 12);
    QCOMPARE(fresh.fftSize(), 0);
    QCOMPARE(fresh.bandCount(), 28);
    fresh.pushSamples(kSilentHop.data(), kHop);
    const std::vector<float> big(10000, 0.5f);
    fresh.pushSamples(big.data(), 10000);
    SpectrumFrame untouched;
    QVERIFY(!fresh.process(untouched));
    QCOMPARE(untouched.seq, 0u);
    QCOMPARE(untouched.bandCount, 28);
    QCOMPARE(untouched.rmsDb, -120.0f);
    QCOMPARE(untouched.presence, 0.0f);

    // On a running analyzer the configuration, the buffer and readiness all stay.
    SpectrumAnalyzer running;
    running.configure(96000.0, 20);
    running.pushSamples(big.data(), 10000);
    running.configure(rate, 12);
    QCOMPARE(running.fftSize(), 8192);
    QCOMPARE(running.bandCount(), 20);
    QCOMPARE(running.sampleRate(), 96000.0);
    SpectrumFrame frame;
    QVERIFY(running.process(frame));
    QCOMPARE(frame.bandCount, 20);
    QVERIFY2(std::abs(frame.rmsDb - -6.0206f) < 1e-3f, QByteArray::number(frame.rmsDb));
}

void tst_SpectrumAnalyzer::bandCountIsClamped_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("used");
    QTest::newRow("INT_MIN") << std::numeric_limits<int>::min() << 1;
    QTest::newRow("-5") << -5 << 1;
    QTest::newRow("0") << 0 << 1;
    QTest::newRow("1") << 1 << 1;
    QTest::newRow("28") << 28 << 28;
    QTest::newRow("32") << 32 << 32;
    QTest::newRow("40") << 40 << 32;
    QTest::newRow("INT_MAX") << std::numeric_limits<int>::max() << 32;
}

void tst_SpectrumAnalyzer::bandCountIsClamped()
{
    QFETCH(int, requested);
    QFETCH(int, used);
    SpectrumAnalyzer a;
    a.configure(48000.0, requested);
    QCOMPARE(a.bandCount(), used);
    QCOMPARE(static_cast<int>(a.bands().table().size()), used);
    SpectrumFrame frame;
    frame.bars[used < 32 ? used : 31] = 0.5f;
    const std::vector<float> tone = sine(1000.0, 0.5, 4096);
    a.pushSamples(tone.data(), 4096);
    QVERIFY(a.process(frame));
    QCOMPARE(frame.bandCount, used);
    // Slots past the band count keep what the caller had there.
    if (used < 32)
        QCOMPARE(frame.bars[used], 0.5f);
}

void tst_SpectrumAnalyzer::reconfigureRebuildsTablesAndRefills()
{
    SpectrumAnalyzer a;
    a.configure(44100.0, 28);
    const float centerBin44k = a.bands().table()[15].centerBin;
    const std::vector<float> tone = sine(1000.0, 0.5, 5000, 44100.0);
    a.pushSamples(tone.data(), 5000);
    SpectrumFrame frame;
    QVERIFY(a.process(frame));
    QCOMPARE(frame.seq, 1u);

    // Same FFT size, new bin width: the band table follows the rate, the buffer starts over.
    a.configure(48000.0, 28);
    QCOMPARE(a.fftSize(), 4096);
    QVERIFY(a.bands().table()[15].centerBin < centerBin44k);
    QCOMPARE(a.bands().table()[15].loBin, 85);
    QCOMPARE(a.exactZeroFrames(), 0);
    SpectrumFrame kept = frame;
    QVERIFY(!a.process(kept));
    QCOMPARE(kept.seq, 1u);

    // What is published next comes only from audio pushed after the configure.
    for (int hop = 0; hop < 6; ++hop)
        a.pushSamples(kSilentHop.data(), kHop);
    QVERIFY(a.process(frame));
    QCOMPARE(frame.rmsDb, -120.0f);
    QCOMPARE(frame.seq, 2u);

    a.configure(96000.0, 28);
    QCOMPARE(a.fftSize(), 8192);
    a.configure(44100.0, 28);
    QCOMPARE(a.fftSize(), 4096);
}

void tst_SpectrumAnalyzer::becomesReadyOnTheSixthHop()
{
    SpectrumAnalyzer a;
    SpectrumFrame frame;
    QVERIFY(!a.process(frame));
    a.configure(48000.0, 28);
    for (int hop = 1; hop <= 5; ++hop) {
        a.pushSamples(kSilentHop.data(), kHop);
        QVERIFY2(!a.process(frame), QByteArray::number(hop));
    }
    QCOMPARE(frame.seq, 0u);
    a.pushSamples(kSilentHop.data(), kHop);
    QVERIFY(a.process(frame));
    QCOMPARE(frame.seq, 1u);
    QCOMPARE(frame.rmsDb, -120.0f);
    QCOMPARE(a.exactZeroFrames(), 1);
    // Ready stays ready, also without new samples.
    QVERIFY(a.process(frame));
    QCOMPARE(frame.seq, 2u);
    QCOMPARE(a.exactZeroFrames(), 2);
}

void tst_SpectrumAnalyzer::longPushKeepsTheNewestSamples()
{
    // 10000 samples into a 4096 buffer keep samples 5904..9999. Sample 5903 alone is non-zero:
    // the buffer must count as exactly zero. Moving the non-zero sample to 5904 must not.
    for (unsigned loud : { 5903u, 5904u }) {
        SpectrumAnalyzer a;
        a.configure(48000.0, 28);
        std::vector<float> block(10000, 0.0f);
        block[loud] = 1.0f;
        a.pushSamples(block.data(), 10000);
        SpectrumFrame frame;
        QVERIFY(a.process(frame));
        QCOMPARE(a.exactZeroFrames(), loud == 5903u ? 1 : 0);
    }
}

void tst_SpectrumAnalyzer::exactZeroCounting()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    SpectrumFrame frame;
    QCOMPARE(runHops(a, kSilentHop, 10, frame), 5);
    QCOMPARE(a.exactZeroFrames(), 5);

    // Negative zeros are zeros.
    const std::vector<float> negativeZeros(kHop, -0.0f);
    runHops(a, negativeZeros, 10, frame);
    QCOMPARE(a.exactZeroFrames(), 15);

    // One non-zero sample anywhere in the buffer ends the run; so does a NaN.
    std::vector<float> tiny(kHop, 0.0f);
    tiny[kHop - 1] = std::numeric_limits<float>::denorm_min();
    runHops(a, tiny, 1, frame);
    QCOMPARE(a.exactZeroFrames(), 0);
    runHops(a, kSilentHop, 6, frame);
    QCOMPARE(a.exactZeroFrames(), 1);
    std::vector<float> nan(kHop, 0.0f);
    nan[0] = std::numeric_limits<float>::quiet_NaN();
    runHops(a, nan, 1, frame);
    QCOMPARE(a.exactZeroFrames(), 0);

    // configure restarts the count.
    runHops(a, kSilentHop, 12, frame);
    QVERIFY(a.exactZeroFrames() > 0);
    a.configure(48000.0, 28);
    QCOMPARE(a.exactZeroFrames(), 0);
}

void tst_SpectrumAnalyzer::exactZeroNeedsTheWholeBufferSilent()
{
    // After audio, five silent hops still leave its last 96 samples in the 4096-sample buffer.
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    SpectrumFrame frame;
    runHops(a, sine(440.0, 0.2, kHop), 10, frame);
    for (int hop = 1; hop <= 5; ++hop) {
        runHops(a, kSilentHop, 1, frame);
        QCOMPARE(a.exactZeroFrames(), 0);
    }
    runHops(a, kSilentHop, 1, frame);
    QCOMPARE(a.exactZeroFrames(), 1);
}

void tst_SpectrumAnalyzer::seqCountsEveryFrameAcrossConfigure()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    SpectrumFrame first;
    runHops(a, kSilentHop, 100, first);
    QCOMPARE(first.seq, 95u);
    SpectrumFrame second;
    runHops(a, kSilentHop, 1, second);
    QCOMPARE(second.seq, 96u);

    // Two frames from the same buffer: consecutive numbers, identical level.
    SpectrumFrame again;
    QVERIFY(a.process(again));
    QCOMPARE(again.seq, 97u);
    QCOMPARE(again.rmsDb, second.rmsDb);

    a.configure(96000.0, 28);
    SpectrumFrame afterConfigure;
    const std::vector<float> block(8192, 0.1f);
    a.pushSamples(block.data(), 8192);
    QVERIFY(a.process(afterConfigure));
    QCOMPARE(afterConfigure.seq, 98u);
}

void tst_SpectrumAnalyzer::silenceGivesTheFloorExactly()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    SpectrumFrame frame;
    runHops(a, kSilentHop, 300, frame);
    QCOMPARE(frame.rmsDb, -120.0f);
    QCOMPARE(frame.presence, 0.0f);
    QCOMPARE(frame.agcDb, 0.0f);
    for (int k = 0; k < frame.bandCount; ++k)
        QVERIFY2(frame.bars[k] == 0.0f && frame.peaks[k] == 0.0f, QByteArray::number(k));
}

void tst_SpectrumAnalyzer::rmsOfSines_data()
{
    QTest::addColumn<double>("amplitude");
    QTest::addColumn<float>("rmsDb");
    // An RMS level sits 3.0103 dB below the sine's peak level.
    QTest::newRow("full scale") << 1.0 << -3.0103f;
    QTest::newRow("0.02") << 0.02 << -36.9897f;
}

void tst_SpectrumAnalyzer::rmsOfSines()
{
    QFETCH(double, amplitude);
    QFETCH(float, rmsDb);
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    SpectrumFrame frame;
    // 4096 samples of 1 kHz hold 85.33 periods; the partial period shifts the mean square by
    // well under 0.01 dB.
    const std::vector<float> tone = sine(1000.0, amplitude, 6 * kHop);
    for (unsigned hop = 0; hop < 6; ++hop)
        a.pushSamples(tone.data() + hop * kHop, kHop);
    QVERIFY(a.process(frame));
    QVERIFY2(std::abs(frame.rmsDb - rmsDb) < 0.01f, QByteArray::number(frame.rmsDb));
}

void tst_SpectrumAnalyzer::levelFunctionEdges()
{
    const float samples[4] = { 1.0f, -1.0f, 1.0f, -1.0f };
    QCOMPARE(dsp::computeRmsDb(nullptr, 4), -120.0f);
    QCOMPARE(dsp::computeRmsDb(samples, 0), -120.0f);
    QCOMPARE(dsp::computeRmsDb(samples, 4), 0.0f);
    // The floor is continuous: a mean square of exactly 1e-12 reads -120.
    const float tiny[1] = { 1e-6f };
    QVERIFY(dsp::computeRmsDb(tiny, 1) >= -120.0f);
    QVERIFY(dsp::computeRmsDb(tiny, 1) < -119.99f);
    QVERIFY(dsp::isExactZero(nullptr, 4));
    QVERIFY(dsp::isExactZero(samples, 0));
    QVERIFY(!dsp::isExactZero(samples, 1));
}

void tst_SpectrumAnalyzer::nonFiniteSamplesKeepTheDisplayFinite()
{
    for (float bad : { std::numeric_limits<float>::quiet_NaN(),
             std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity() }) {
        SpectrumAnalyzer a;
        a.configure(48000.0, 28);
        SpectrumFrame frame;
        runHops(a, sine(1000.0, 0.3, kHop), 30, frame);
        std::vector<float> corrupt = sine(1000.0, 0.3, kHop);
        corrupt[100] = bad;
        runHops(a, corrupt, 3, frame);
        for (int k = 0; k < frame.bandCount; ++k) {
            QVERIFY2(std::isfinite(frame.bars[k]) && frame.bars[k] >= 0.0f && frame.bars[k] <= 1.0f,
                QByteArray::number(k) + ": " + QByteArray::number(frame.bars[k]));
            QVERIFY2(frame.peaks[k] >= frame.bars[k], QByteArray::number(k));
        }
        QVERIFY(frame.agcDb >= -6.0f && frame.agcDb <= 24.0f);
    }
}

void tst_SpectrumAnalyzer::exactZeroTestReadsEverySample_data()
{
    // A block of `count` samples of `fill` with `value` at `position`; positions at both ends
    // and in a tail that is not a multiple of four.
    QTest::addColumn<int>("count");
    QTest::addColumn<float>("fill");
    QTest::addColumn<int>("position");
    QTest::addColumn<float>("value");
    QTest::addColumn<bool>("zero");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float tiny = std::numeric_limits<float>::denorm_min();
    QTest::newRow("first sample") << 4096 << 0.0f << 0 << 1.0f << false;
    QTest::newRow("last of a group of four") << 4096 << 0.0f << 3 << -1.0f << false;
    QTest::newRow("NaN in the middle") << 4096 << 0.0f << 2050 << nan << false;
    QTest::newRow("subnormal at the end") << 4096 << 0.0f << 4095 << tiny << false;
    QTest::newRow("infinity in an odd tail") << 4099 << 0.0f << 4098 << inf << false;
    QTest::newRow("negative zero in an odd tail") << 4099 << 0.0f << 4098 << -0.0f << true;
    QTest::newRow("negative zeros throughout") << 4097 << -0.0f << 17 << -0.0f << true;
    QTest::newRow("beyond the count") << 4096 << 0.0f << 4096 << 1.0f << true;
    QTest::newRow("three samples") << 3 << 0.0f << 2 << tiny << false;
}

void tst_SpectrumAnalyzer::exactZeroTestReadsEverySample()
{
    QFETCH(int, count);
    QFETCH(float, fill);
    QFETCH(int, position);
    QFETCH(float, value);
    QFETCH(bool, zero);
    // One spare sample past the count, so "beyond the count" has somewhere to be.
    std::vector<float> samples(static_cast<std::size_t>(count) + 1, fill);
    samples[static_cast<std::size_t>(position)] = value;
    QVERIFY2(dsp::isExactZero(samples.data(), static_cast<unsigned>(count)) == zero,
        QByteArray("count ") + QByteArray::number(count) + ", sample "
            + QByteArray::number(position) + " = " + QByteArray::number(value) + ": expected "
            + (zero ? "zero" : "non-zero"));
}

QTEST_APPLESS_MAIN(tst_SpectrumAnalyzer)
#include "tst_spectrumanalyzer.moc"
