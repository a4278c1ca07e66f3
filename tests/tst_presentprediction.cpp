// The window's frame-timing model on a simulated clock: frames drawn at a steady pace, with a
// steady drawing time, against how far ahead it puts the moment a picture shows.

#include "presentprediction.h"

#include <QTest>

#include <cmath>
#include <cstdint>

class tst_PresentPrediction : public QObject {
    Q_OBJECT

private slots:
    void leadFollowsTheFramesDrawn_data()
    {
        QTest::addColumn<int>("framesInFlight");
        QTest::addColumn<double>("intervalMs");
        QTest::addColumn<double>("workMs");
        QTest::addColumn<double>("stallMs"); // the last frame's gap instead, 0: none
        QTest::addColumn<double>("expectedMs");
        const double hz60 = 1000.0 / 60;
        // The drawing, one queued frame and half of the picture's own interval.
        QTest::newRow("OpenGL: one frame in flight, one queued")
            << 1 << hz60 << 5.0 << 0.0 << 5.0 + 1.5 * hz60;
        QTest::newRow("three in flight, two queued") << 3 << hz60 << 5.0 << 0.0 << 5.0 + 2.5 * hz60;
        QTest::newRow("a 100 Hz display") << 2 << 10.0 << 4.0 << 0.0 << 4.0 + 1.5 * 10.0;
        QTest::newRow("a stall is not the display's pace")
            << 2 << hz60 << 5.0 << 500.0 << 5.0 + 1.5 * hz60;
    }

    void leadFollowsTheFramesDrawn()
    {
        QFETCH(int, framesInFlight);
        QFETCH(double, intervalMs);
        QFETCH(double, workMs);
        QFETCH(double, stallMs);
        QFETCH(double, expectedMs);
        visualiser::PresentPrediction prediction;
        prediction.setFramesInFlight(framesInFlight);
        // Long enough for the timings to settle.
        constexpr int kFrames = 400;
        double atMs = 1000.0;
        for (int i = 0; i < kFrames; ++i) {
            atMs += i == kFrames - 1 && stallMs > 0 ? stallMs : intervalMs;
            const auto began = std::int64_t(std::llround(atMs * 1e6));
            prediction.frameDrawn(began, began + std::int64_t(std::llround(workMs * 1e6)));
        }
        QVERIFY2(std::fabs(prediction.leadMs() - expectedMs) < 0.01,
            qPrintable(QStringLiteral("lead %1 ms, expected %2 ms")
                           .arg(prediction.leadMs())
                           .arg(expectedMs)));
    }
};

QTEST_GUILESS_MAIN(tst_PresentPrediction)

#include "tst_presentprediction.moc"
