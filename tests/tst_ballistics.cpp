// Ballistics behaviour that motioncheck does not pin down: exact factors, band-count edges, the
// gate boundary, exact presence and peak timing, and NaN input.

#include "describe.h"
#include "dsp/ballistics.h"
#include "dsp/exactmath.h"

#include <QTest>

#include <cmath>
#include <cstring>
#include <limits>

using dsp::Ballistics;

namespace {

constexpr float kSentinel = -7.0f;

struct Frame {
    float bars[dsp::kMaxBands + 8];
    float peaks[dsp::kMaxBands + 8];
    Frame()
    {
        for (float& v : bars)
            v = kSentinel;
        for (float& v : peaks)
            v = kSentinel;
    }
};

// A row of `count` bands at -60 dB with band 0 at band0Db.
struct Row {
    float db[dsp::kMaxBands + 8];
    explicit Row(float band0Db)
    {
        for (float& v : db)
            v = dsp::kFloorDb;
        db[0] = band0Db;
    }
};

void stepFrames(Ballistics& b, const Row& row, float rmsDb, int frames, Frame& out, int count = 28)
{
    for (int i = 0; i < frames; ++i)
        b.step(row.db, count, rmsDb, out.bars, out.peaks);
}

} // namespace

class tst_Ballistics : public QObject {
    Q_OBJECT

private slots:
    void factorsAreExactFloats_data();
    void factorsAreExactFloats();
    void factorsMatchTheRunTimeExponential_data();
    void factorsMatchTheRunTimeExponential();
    void zeroFilledAndResetAreFresh();
    void countZeroWritesNothingButMovesGainAndPresence();
    void countAbove32WritesOnly32();
    void bandsBeyondCountKeepTheirState();
    void gateBoundaryFreezesGainButCountsAsActive();
    void presenceRisesInEightFramesExactly();
    void presenceHoldsTwentyFourFramesThenFadesToZeroAtSixty();
    void peakHoldsThirtyFramesThenFallsLinearlyFaster();
    void nonFiniteBandLevels_data();
    void nonFiniteBandLevels();
    void nanRmsFreezesGainAndCountsAsActive();
    void corruptLevelsHoldTheGain_data();
    void corruptLevelsHoldTheGain();
};

void tst_Ballistics::factorsAreExactFloats_data()
{
    QTest::addColumn<float>("actual");
    QTest::addColumn<float>("expected");
    // The exponents are the float quotients kFrameMs / T, so the attack exponent is 0.6666666f,
    // one unit in the last place below the float nearest 2/3.
    QTest::newRow("attack") << dsp::kAttackFactor << dsp::exactExp(-0.6666666f);
    QTest::newRow("release") << dsp::kReleaseFactor << dsp::exactExp(-0.09259259f);
    QTest::newRow("agc fall") << dsp::kAgcFallFactor << dsp::exactExp(-0.055555552f);
    QTest::newRow("agc rise") << dsp::kAgcRiseFactor << dsp::exactExp(-0.0041666664f);
    QTest::newRow("presence rise") << dsp::kPresenceRiseStep << 0.13888888f;
    QTest::newRow("presence fade") << dsp::kPresenceFadeStep << 0.027777776f;
    QTest::newRow("peak speed") << dsp::kPeakSpeedStep << 0.026666669f;
    QTest::newRow("frame ms") << dsp::kFrameMs << 16.666666f;
    QTest::newRow("frame sec") << dsp::kFrameSec << 0.016666668f;
}

void tst_Ballistics::factorsAreExactFloats()
{
    QFETCH(float, actual);
    QFETCH(float, expected);
    QVERIFY2(actual == expected, describe("factor", 0, actual, expected).constData());
    QVERIFY(0.6666666f != 2.0f / 3.0f); // the attack exponent is deliberately not 2/3
}

void tst_Ballistics::factorsMatchTheRunTimeExponential_data()
{
    QTest::addColumn<float>("factor");
    QTest::addColumn<float>("timeMs");
    QTest::newRow("attack") << dsp::kAttackFactor << dsp::kAttackMs;
    QTest::newRow("release") << dsp::kReleaseFactor << dsp::kReleaseMs;
    QTest::newRow("agc fall") << dsp::kAgcFallFactor << dsp::kAgcFallMs;
    QTest::newRow("agc rise") << dsp::kAgcRiseFactor << dsp::kAgcRiseMs;
}

// The factors are written out as literals; the core's own single-precision exponential, the
// same bits on every C library, called at run time on the float quotient (volatile keeps the
// compiler from folding the quotient), must give the same bits.
void tst_Ballistics::factorsMatchTheRunTimeExponential()
{
    QFETCH(float, factor);
    QFETCH(float, timeMs);
    volatile float frameMs = dsp::kFrameMs;
    volatile float constantMs = timeMs;
    const float quotient = frameMs / constantMs;
    const float computed = dsp::exactExp(-quotient);
    QVERIFY2(factor == computed, describe("factor", 0, factor, computed).constData());
}

void tst_Ballistics::zeroFilledAndResetAreFresh()
{
    const Row loud(-15.0f);
    Ballistics fresh;
    Ballistics zeroed;
    std::memset(static_cast<void*>(&zeroed), 0, sizeof zeroed);
    Ballistics used;
    Frame f;
    stepFrames(used, loud, -20.0f, 200, f);
    used.reset();

    Frame a, b, c;
    const Row quiet(-40.0f);
    for (int frame = 0; frame < 50; ++frame) {
        fresh.step(quiet.db, 28, -30.0f, a.bars, a.peaks);
        zeroed.step(quiet.db, 28, -30.0f, b.bars, b.peaks);
        used.step(quiet.db, 28, -30.0f, c.bars, c.peaks);
    }
    for (int k = 0; k < 28; ++k) {
        QVERIFY2(a.bars[k] == b.bars[k], describe("zeroed bar", k, b.bars[k], a.bars[k]));
        QVERIFY2(a.bars[k] == c.bars[k], describe("reset bar", k, c.bars[k], a.bars[k]));
        QVERIFY2(a.peaks[k] == c.peaks[k], describe("reset peak", k, c.peaks[k], a.peaks[k]));
    }
    QCOMPARE(used.agcDb(), fresh.agcDb());
    QCOMPARE(used.presence(), fresh.presence());
}

void tst_Ballistics::countZeroWritesNothingButMovesGainAndPresence()
{
    Ballistics b;
    Frame f;
    const Row row(-15.0f);
    b.step(row.db, 0, -20.0f, f.bars, f.peaks);
    b.step(row.db, -5, -20.0f, f.bars, f.peaks);
    for (int k = 0; k < dsp::kMaxBands + 8; ++k) {
        QVERIFY2(f.bars[k] == kSentinel, describe("bar", k, f.bars[k], kSentinel));
        QVERIFY2(f.peaks[k] == kSentinel, describe("peak", k, f.peaks[k], kSentinel));
    }
    // With no bands the loudest level stays -160 dB, so an open gate pulls the gain up to 24 dB.
    const float once = dsp::kAgcRiseFactor * (0.0f - 24.0f) + 24.0f;
    const float twice = dsp::kAgcRiseFactor * (once - 24.0f) + 24.0f;
    QCOMPARE(b.agcDb(), twice);
    QCOMPARE(b.presence(), dsp::kPresenceRiseStep + dsp::kPresenceRiseStep);
}

void tst_Ballistics::countAbove32WritesOnly32()
{
    Ballistics b;
    Frame f;
    Row row(-15.0f);
    // The loudest band sits beyond 32; it must neither be read for the AGC nor written.
    row.db[35] = 0.0f;
    b.step(row.db, 40, -20.0f, f.bars, f.peaks);
    for (int k = 0; k < dsp::kMaxBands; ++k)
        QVERIFY2(f.bars[k] != kSentinel, describe("written bar", k, f.bars[k], 0.0f));
    for (int k = dsp::kMaxBands; k < dsp::kMaxBands + 8; ++k) {
        QVERIFY2(f.bars[k] == kSentinel, describe("bar", k, f.bars[k], kSentinel));
        QVERIFY2(f.peaks[k] == kSentinel, describe("peak", k, f.peaks[k], kSentinel));
    }
    const float desired = (dsp::kAgcTargetDb - -15.0f) * dsp::kAgcAmount;
    QCOMPARE(b.agcDb(), dsp::kAgcFallFactor * (0.0f - desired) + desired);
}

void tst_Ballistics::bandsBeyondCountKeepTheirState()
{
    // Gate closed so the gain stays 0 and only per-band state differs between the two.
    Row loud(-60.0f);
    for (int k = 0; k < dsp::kMaxBands; ++k)
        loud.db[k] = -20.0f - static_cast<float>(k);
    Ballistics a;
    Frame fa, fb;
    stepFrames(a, loud, -100.0f, 40, fa, dsp::kMaxBands);
    Ballistics b = a;

    const Row silent(-60.0f);
    stepFrames(a, silent, -100.0f, 10, fa, 4);
    // Both now take the same frames; bands 4 and up must continue as if the 4-band frames had
    // never happened (band 4's target depends only on levels, not on band 3's state).
    stepFrames(a, silent, -100.0f, 5, fa, dsp::kMaxBands);
    stepFrames(b, silent, -100.0f, 5, fb, dsp::kMaxBands);
    for (int k = 4; k < dsp::kMaxBands; ++k) {
        QVERIFY2(fa.bars[k] == fb.bars[k], describe("bar", k, fa.bars[k], fb.bars[k]));
        QVERIFY2(fa.peaks[k] == fb.peaks[k], describe("peak", k, fa.peaks[k], fb.peaks[k]));
    }
    QVERIFY(fa.bars[0] < fb.bars[0]);
}

void tst_Ballistics::gateBoundaryFreezesGainButCountsAsActive()
{
    Ballistics b;
    Frame f;
    stepFrames(b, Row(-15.0f), -20.0f, 60, f);
    const float gain = b.agcDb();
    QVERIFY(gain < -0.5f);
    QCOMPARE(b.presence(), 1.0f);

    stepFrames(b, Row(-60.0f), -100.0f, 20, f);
    // Exactly -68 dB: not above the gate (gain frozen, even with a very different loudest band),
    // not below it (silent counter restarts).
    stepFrames(b, Row(-55.0f), dsp::kGateDb, 1, f);
    QVERIFY2(b.agcDb() == gain, describe("gain", 0, b.agcDb(), gain));
    // 20 + 24 silent frames would be past the hold had the -68 dB frame not reset the count.
    stepFrames(b, Row(-60.0f), -100.0f, 24, f);
    QCOMPARE(b.presence(), 1.0f);
    stepFrames(b, Row(-60.0f), -100.0f, 1, f);
    QCOMPARE(b.presence(), 1.0f - dsp::kPresenceFadeStep);
    // Just above the gate the gain moves.
    stepFrames(b, Row(-55.0f), std::nextafter(dsp::kGateDb, 0.0f), 1, f);
    QVERIFY(b.agcDb() != gain);
}

void tst_Ballistics::presenceRisesInEightFramesExactly()
{
    Ballistics b;
    Frame f;
    float expected = 0.0f;
    for (int frame = 1; frame <= 7; ++frame) {
        stepFrames(b, Row(-15.0f), -20.0f, 1, f);
        expected += dsp::kPresenceRiseStep;
        QVERIFY2(b.presence() == expected, describe("presence", frame, b.presence(), expected));
        QVERIFY2(b.presence() < 1.0f, describe("presence", frame, b.presence(), expected));
    }
    stepFrames(b, Row(-15.0f), -20.0f, 1, f);
    QVERIFY2(b.presence() == 1.0f, describe("presence", 8, b.presence(), 1.0f));
}

void tst_Ballistics::presenceHoldsTwentyFourFramesThenFadesToZeroAtSixty()
{
    Ballistics b;
    Frame f;
    stepFrames(b, Row(-15.0f), -20.0f, 10, f);
    float expected = 1.0f;
    for (int frame = 1; frame <= 60; ++frame) {
        stepFrames(b, Row(-60.0f), -100.0f, 1, f);
        // 24 frames are 399.99998 ms, not above the 400 ms hold.
        if (frame > 24)
            expected = std::max(expected - dsp::kPresenceFadeStep, 0.0f);
        QVERIFY2(b.presence() == expected, describe("presence", frame, b.presence(), expected));
        if (frame < 60)
            QVERIFY2(b.presence() > 0.0f, describe("presence", frame, b.presence(), expected));
    }
    QCOMPARE(b.presence(), 0.0f);
}

void tst_Ballistics::peakHoldsThirtyFramesThenFallsLinearlyFaster()
{
    Ballistics b;
    Frame f;
    stepFrames(b, Row(-15.0f), -20.0f, 200, f);
    const float held = f.peaks[0];
    for (int frame = 1; frame <= dsp::kPeakHoldFrames; ++frame) {
        stepFrames(b, Row(-60.0f), -20.0f, 1, f);
        QVERIFY2(f.peaks[0] == held, describe("held peak", frame, f.peaks[0], held));
    }
    // The f-th falling frame drops the peak by f * kPeakSpeedStep * kFrameSec. The tolerance is
    // a few float roundings of a peak near 0.8 (ulp 6e-8) per subtraction.
    float previous = held;
    for (int fall = 1; fall <= 10; ++fall) {
        stepFrames(b, Row(-60.0f), -20.0f, 1, f);
        const float drop = previous - f.peaks[0];
        const float expected = static_cast<float>(fall) * dsp::kPeakSpeedStep * dsp::kFrameSec;
        QVERIFY2(std::abs(drop - expected) < 2e-7f, describe("drop", fall, drop, expected));
        previous = f.peaks[0];
    }
    // About 0.0244 after ten falling frames.
    QVERIFY2(std::abs((held - f.peaks[0]) - 0.02444f) < 1e-4f,
        describe("total fall", 10, held - f.peaks[0], 0.02444f));
}

void tst_Ballistics::nonFiniteBandLevels_data()
{
    QTest::addColumn<float>("level");
    QTest::addColumn<float>("settled"); // steady bar of band 3 alone, gate closed (gain 0)
    QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << 0.0f;
    QTest::newRow("+inf") << std::numeric_limits<float>::infinity() << 1.0f;
    QTest::newRow("-inf") << -std::numeric_limits<float>::infinity() << 0.0f;
}

void tst_Ballistics::nonFiniteBandLevels()
{
    QFETCH(float, level);
    QFETCH(float, settled);
    Ballistics b;
    Frame f;
    Row row(-60.0f);
    row.db[3] = level;
    stepFrames(b, row, -100.0f, 600, f);
    for (int k = 0; k < 28; ++k) {
        QVERIFY2(std::isfinite(f.bars[k]), describe("bar", k, f.bars[k], 0.0f));
        QVERIFY2(std::isfinite(f.peaks[k]), describe("peak", k, f.peaks[k], 0.0f));
    }
    // Band 3 alone: its own level counts 0.7, each neighbour's 0.15.
    QVERIFY2(std::abs(f.bars[3] - 0.7f * settled) < 1e-5f,
        describe("bar", 3, f.bars[3], 0.7f * settled));
    QVERIFY2(std::abs(f.bars[2] - 0.15f * settled) < 1e-5f,
        describe("bar", 2, f.bars[2], 0.15f * settled));

    // Good input afterwards is displayed normally.
    stepFrames(b, Row(-15.0f), -100.0f, 60, f);
    QVERIFY2(std::abs(f.bars[0] - 0.85f) < 1e-4f, describe("bar", 0, f.bars[0], 0.85f));
    QVERIFY2(std::abs(f.bars[3]) < 0.01f, describe("bar", 3, f.bars[3], 0.0f));
}

void tst_Ballistics::nanRmsFreezesGainAndCountsAsActive()
{
    Ballistics b;
    Frame f;
    stepFrames(b, Row(-15.0f), std::numeric_limits<float>::quiet_NaN(), 8, f);
    QCOMPARE(b.agcDb(), 0.0f);
    QCOMPARE(b.presence(), 1.0f);
}

void tst_Ballistics::corruptLevelsHoldTheGain_data()
{
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();
    QTest::addColumn<float>("rmsDb");
    QTest::addColumn<float>("level");
    QTest::addColumn<bool>("everyBand"); // level in every band, or in band 3 alone
    QTest::addColumn<bool>("holds");
    QTest::newRow("finite frame moves it") << -20.0f << -30.0f << false << false;
    QTest::newRow("-inf band is silence and moves it") << -20.0f << -inf << false << false;
    // What a burst of infinite samples hands over: an infinite RMS and NaN in every band.
    QTest::newRow("+inf RMS, every band NaN") << inf << nan << true << true;
    QTest::newRow("+inf RMS") << inf << -30.0f << false << true;
    QTest::newRow("one NaN band") << -20.0f << nan << false << true;
    QTest::newRow("one +inf band") << -20.0f << inf << false << true;
    QTest::newRow("every band +inf") << -20.0f << inf << true << true;
}

void tst_Ballistics::corruptLevelsHoldTheGain()
{
    QFETCH(float, rmsDb);
    QFETCH(float, level);
    QFETCH(bool, everyBand);
    QFETCH(bool, holds);
    Ballistics b;
    Frame f;
    // A loudest band of -40 dB aims the gain at +15.375 dB; a second of it lifts the gain well
    // clear of 0 and of both limits, so a pull either way shows.
    stepFrames(b, Row(-40.0f), -20.0f, 60, f);
    const float before = b.agcDb();
    QVERIFY2(before > 1.0f, describe("gain", 0, before, 1.0f));

    Row row(-40.0f);
    for (int k = everyBand ? 0 : 3; k < (everyBand ? 28 : 4); ++k)
        row.db[k] = level;
    stepFrames(b, row, rmsDb, 30, f);
    if (holds)
        QVERIFY2(b.agcDb() == before, describe("gain", 30, b.agcDb(), before));
    else
        QVERIFY2(b.agcDb() != before, describe("gain", 30, b.agcDb(), before));
    for (int k = 0; k < 28; ++k)
        QVERIFY2(std::isfinite(f.bars[k]), describe("bar", k, f.bars[k], 0.0f));
}

QTEST_APPLESS_MAIN(tst_Ballistics)
#include "tst_ballistics.moc"
