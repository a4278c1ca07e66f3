// motioncheck: drives the display ballistics alone with fixed band levels, frame by frame, and
// checks the timing a viewer notices: attack, release, peak hold and fall, AGC, presence, reset.

#include "dsp/ballistics.h"

#include <QObject>
#include <QString>
#include <QTest>

#include <cmath>

namespace {

// Steady height of band 0 for the punch input at 0 dB gain: its own full level counted 0.85.
constexpr float ceiling = 0.85f;

struct Rig {
    dsp::Ballistics b;
    float bars[dsp::kMaxBands] = {};
    float peaks[dsp::kMaxBands] = {};

    // Steps the instance `frames` times with 28 bands: band 0 at band0Db, the rest at -60 dB.
    void run(float band0Db, float rmsDb, int frames)
    {
        float row[28];
        for (float& level : row)
            level = -60.0f;
        row[0] = band0Db;
        for (int i = 0; i < frames; ++i)
            b.step(row, 28, rmsDb, bars, peaks);
    }
};

} // namespace

class TstBallistics : public QObject {
    Q_OBJECT

private slots:
    void attackFollowsTheExponentialExactly();
    void attackIsFastEnoughToReadAsPunch();
    void releaseIsSlowerThanAttack();
    void peakHoldsThenFalls();
    void peakFallAccelerates();
    void peakNeverSinksBelowItsBar();
    void agcFreezesInSilence();
    void agcRisesForQuietAndFallsForLoud();
    void agcStaysWithinItsBounds();
    void presenceHoldsBeforeFading();
    void resetClearsEverything();
};

void TstBallistics::attackFollowsTheExponentialExactly()
{
    const float a = std::exp(-0.6666666f);
    const int frameCounts[] = { 1, 2, 3, 5, 10 };
    for (int frames : frameCounts) {
        Rig r;
        r.run(-15, -100, frames);
        const float expected = ceiling * (1.0f - std::pow(a, static_cast<float>(frames)));
        const QByteArray message = QStringLiteral("after %1 frames bar was %2, expected %3")
                                       .arg(frames)
                                       .arg(static_cast<double>(r.bars[0]))
                                       .arg(static_cast<double>(expected))
                                       .toLocal8Bit();
        QVERIFY2(std::abs(r.bars[0] - expected) < 1e-4f, message.constData());
    }
}

void TstBallistics::attackIsFastEnoughToReadAsPunch()
{
    Rig r;
    r.run(-15, -100, 3);
    QVERIFY2(r.bars[0] > 0.8f * ceiling, "a bar should be most of the way up within 50 ms");
}

void TstBallistics::releaseIsSlowerThanAttack()
{
    QVERIFY(dsp::kReleaseMs > dsp::kAttackMs);
    Rig r;
    r.run(-15, -20, 200);
    const float top = r.bars[0];
    QVERIFY(top > 0.5f);
    r.run(-60, -20, 1);
    const float afterOneRelease = r.bars[0];
    QVERIFY2(top - afterOneRelease < top * 0.2f,
        "one frame of release should barely move a settled bar");
}

void TstBallistics::peakHoldsThenFalls()
{
    Rig r;
    r.run(-15, -20, 200);
    const float held = r.peaks[0];
    QVERIFY(held > 0.5f);
    r.run(-60, -20, 28);
    QVERIFY2(std::abs(r.peaks[0] - held) < 1e-4f, "peak should not move during its hold");
    const float before = r.peaks[0];
    r.run(-60, -20, 20);
    QVERIFY2(r.peaks[0] < before, "peak should fall once the hold expires");
}

void TstBallistics::peakFallAccelerates()
{
    Rig r;
    r.run(-15, -20, 200);
    r.run(-60, -20, 31);
    const float p1 = r.peaks[0];
    r.run(-60, -20, 5);
    const float p2 = r.peaks[0];
    r.run(-60, -20, 5);
    const float firstDrop = p1 - p2;
    const float secondDrop = p2 - r.peaks[0];
    const QByteArray message = QStringLiteral("drops were %1 then %2; the fall should speed up")
                                   .arg(static_cast<double>(firstDrop))
                                   .arg(static_cast<double>(secondDrop))
                                   .toLocal8Bit();
    QVERIFY2(secondDrop > firstDrop, message.constData());
}

void TstBallistics::peakNeverSinksBelowItsBar()
{
    Rig r;
    r.run(-15, -20, 300);
    for (int k = 0; k < 28; ++k)
        QVERIFY(r.peaks[k] >= r.bars[k] - 1e-5f);
}

void TstBallistics::agcFreezesInSilence()
{
    Rig r;
    r.run(-60, -100, 600);
    QCOMPARE(r.b.agcDb(), 0.0f);
}

void TstBallistics::agcRisesForQuietAndFallsForLoud()
{
    Rig quiet;
    quiet.run(-53.25f, -40, 900);
    QVERIFY2(quiet.b.agcDb() > 3.0f, "a quiet input should have pulled gain up");
    Rig loud;
    loud.run(-15, -6, 900);
    QVERIFY2(loud.b.agcDb() < quiet.b.agcDb(), "a loud input should sit lower");
}

void TstBallistics::agcStaysWithinItsBounds()
{
    Rig veryQuiet;
    veryQuiet.run(-59, -50, 3000);
    QVERIFY(veryQuiet.b.agcDb() <= dsp::kAgcMaxDb + 1e-3f);
    QVERIFY(veryQuiet.b.agcDb() >= dsp::kAgcMinDb - 1e-3f);
}

void TstBallistics::presenceHoldsBeforeFading()
{
    Rig r;
    r.run(-15, -20, 60);
    QCOMPARE(r.b.presence(), 1.0f);
    r.run(-60, -100, 22);
    QCOMPARE(r.b.presence(), 1.0f);
    r.run(-60, -100, 120);
    QCOMPARE(r.b.presence(), 0.0f);
}

void TstBallistics::resetClearsEverything()
{
    Rig r;
    r.run(-15, -20, 200);
    QVERIFY(r.bars[0] > 0.1f);
    r.b.reset();
    r.run(-60, -100, 1);
    QCOMPARE(r.b.presence(), 0.0f);
    QCOMPARE(r.b.agcDb(), 0.0f);
    QVERIFY(r.bars[0] < 0.01f);
}

int main(int argc, char** argv)
{
    TstBallistics object;
    QTest::setMainSourcePath(SELFCHECK_SOURCE_FILE, SELFCHECK_BUILD_DIR);
    return QTest::qExec(&object, argc, argv);
}

#include "motioncheck.moc"
