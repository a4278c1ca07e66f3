// The window's multisampling policy on a simulated clock: pictures presented at a steady rate in
// runs, some of them not counted (a pause, a rest), against the count it ends with and the moment
// of its first step.

#include "samplegovernor.h"

#include <QTest>

#include <vector>

namespace {

// Pictures at rateHz for seconds; uncounted, the window is paused or at rest meanwhile.
struct Run {
    double rateHz;
    double seconds;
    bool counted = true;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<int>)
Q_DECLARE_METATYPE(std::vector<Run>)

class tst_SampleGovernor : public QObject {
    Q_OBJECT

private slots:
    void steps_data()
    {
        QTest::addColumn<std::vector<int>>("supported");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("named");
        QTest::addColumn<double>("displayHz");
        QTest::addColumn<std::vector<Run>>("runs");
        QTest::addColumn<int>("expected");
        QTest::addColumn<double>("firstStepSec"); // -1: never

        const std::vector<int> gles { 1, 2, 4, 8 };
        QTest::newRow("slow at 4x: 2x after 2 s")
            << gles << 4 << false << 60.0 << std::vector<Run> { { 20, 3 } } << 2 << 2.0;
        QTest::newRow("slow on: 2x 2 s later, then 1x")
            << gles << 4 << false << 60.0 << std::vector<Run> { { 20, 6 } } << 1 << 2.0;
        QTest::newRow("no 2x on the back end: 4x to 1x")
            << std::vector<int> { 1, 4 } << 4 << false << 60.0 << std::vector<Run> { { 20, 3 } }
            << 1 << 2.0;
        QTest::newRow("already 1x stays")
            << gles << 1 << false << 60.0 << std::vector<Run> { { 20, 5 } } << 1 << -1.0;
        QTest::newRow("named stays")
            << gles << 4 << true << 60.0 << std::vector<Run> { { 20, 5 } } << 4 << -1.0;
        QTest::newRow("fast stays")
            << gles << 4 << false << 60.0 << std::vector<Run> { { 60, 10 } } << 4 << -1.0;
        QTest::newRow("just under 90 % of 60")
            << gles << 4 << false << 60.0 << std::vector<Run> { { 53, 3 } } << 2 << 2.0;
        QTest::newRow("just over 90 % of 60")
            << gles << 4 << false << 60.0 << std::vector<Run> { { 55, 5 } } << 4 << -1.0;
        QTest::newRow("a 144 Hz display aims at 60")
            << gles << 4 << false << 144.0 << std::vector<Run> { { 55, 5 } } << 4 << -1.0;
        QTest::newRow("a 30 Hz display aims at 30")
            << gles << 4 << false << 30.0 << std::vector<Run> { { 28, 5 } } << 4 << -1.0;
        QTest::newRow("unknown refresh aims at 60")
            << gles << 4 << false << 0.0 << std::vector<Run> { { 50, 3 } } << 2 << 2.0;
        QTest::newRow("paused gaps not counted") << gles << 4 << false << 60.0
                                                 << std::vector<Run> { { 60, 1.5 }, { 0, 5, false },
                                                        { 60, 1.5 }, { 5, 4, false }, { 60, 1.5 } }
                                                 << 4 << -1.0;
        QTest::newRow("slow again after a pause")
            << gles << 4 << false << 60.0
            << std::vector<Run> { { 60, 1.5 }, { 0, 5, false }, { 20, 3 } } << 2 << 8.5;
    }

    void steps()
    {
        QFETCH(std::vector<int>, supported);
        QFETCH(int, count);
        QFETCH(bool, named);
        QFETCH(double, displayHz);
        QFETCH(std::vector<Run>, runs);
        QFETCH(int, expected);
        QFETCH(double, firstStepSec);

        visualiser::SampleGovernor governor(supported, count, named, displayHz);
        double nowMs = 0;
        double steppedSec = -1;
        for (const Run& run : runs) {
            const double endMs = nowMs + run.seconds * 1000;
            if (!run.counted)
                governor.interrupt();
            for (; nowMs<endMs; nowMs += run.rateHz> 0 ? 1000 / run.rateHz : run.seconds * 1000)
                if (run.counted && governor.presented(nowMs) && steppedSec < 0)
                    steppedSec = nowMs / 1000;
            nowMs = endMs;
        }
        QVERIFY2(governor.count() == expected,
            qPrintable(
                QStringLiteral("count %1, expected %2").arg(governor.count()).arg(expected)));
        // Within one picture of the moment expected.
        QVERIFY2(firstStepSec < 0 ? steppedSec < 0 : qAbs(steppedSec - firstStepSec) <= 0.06,
            qPrintable(QStringLiteral("first step at %1 s, expected %2 s")
                           .arg(steppedSec)
                           .arg(firstStepSec)));
        // The rate the step reports is the one drawn.
        if (steppedSec >= 0)
            QVERIFY2(qAbs(governor.slowRate() - runs.back().rateHz) < 1,
                qPrintable(QStringLiteral("stepped at %1 pictures/s, drawn at %2")
                               .arg(governor.slowRate())
                               .arg(runs.back().rateHz)));
    }
};

QTEST_APPLESS_MAIN(tst_SampleGovernor)
#include "tst_samplegovernor.moc"
