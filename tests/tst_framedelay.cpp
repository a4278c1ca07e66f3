// The queue that holds analysed frames back until their sound is heard: one frame out for each
// frame in, shown the delay's number of ticks later; a growing delay holds the frame shown rather
// than go back in time, a shrinking one passes frames over, and no delay holds more than the
// queue's capacity.

#include "media/framedelay.h"

#include <QTest>

Q_DECLARE_METATYPE(QList<int>)

namespace {

// Tick i's frame: its time and sequence number both say i.
media::TimedFrame frameOf(int tick)
{
    media::TimedFrame f;
    f.timeSec = tick;
    f.frame.seq = static_cast<std::uint32_t>(tick);
    f.frame.bars[0] = 0.5f;
    return f;
}

// Which tick a shown frame came from; -1 for the silent one shown before the first is due.
int tickOf(const media::TimedFrame& f)
{
    return f.frame.bars[0] == 0.5f ? static_cast<int>(f.frame.seq) : -1;
}

} // namespace

class tst_FrameDelay : public QObject {
    Q_OBJECT

private slots:
    void showsTheFrameDueAtEachTick_data();
    void showsTheFrameDueAtEachTick();
    void ticksFromMilliseconds_data();
    void ticksFromMilliseconds();
};

void tst_FrameDelay::showsTheFrameDueAtEachTick_data()
{
    // The delay set before each tick, and the tick whose frame shows then.
    QTest::addColumn<int>("capacity");
    QTest::addColumn<QList<int>>("delays");
    QTest::addColumn<QList<int>>("shown");
    QTest::newRow("no delay passes each frame through")
        << 8 << QList<int> { 0, 0, 0, 0 } << QList<int> { 0, 1, 2, 3 };
    QTest::newRow("three ticks: silence, then each frame three ticks on")
        << 8 << QList<int> { 3, 3, 3, 3, 3, 3 } << QList<int> { -1, -1, -1, 0, 1, 2 };
    QTest::newRow("grows by two: the frame shown holds two ticks")
        << 8 << QList<int> { 0, 0, 0, 2, 2, 2, 2 } << QList<int> { 0, 1, 2, 2, 2, 3, 4 };
    QTest::newRow("shrinks by three: three frames passed over")
        << 8 << QList<int> { 3, 3, 3, 3, 3, 0, 0 } << QList<int> { -1, -1, -1, 0, 1, 5, 6 };
    QTest::newRow("up, then down by one")
        << 8 << QList<int> { 0, 0, 2, 2, 2, 1, 1 } << QList<int> { 0, 1, 1, 1, 2, 4, 5 };
    QTest::newRow("beyond the capacity: held to it")
        << 4 << QList<int> { 9, 9, 9, 9, 9, 9, 9, 9 } << QList<int> { -1, -1, -1, -1, 0, 1, 2, 3 };
    QTest::newRow("grows past what the queue holds, then shrinks")
        << 4 << QList<int> { 0, 0, 0, 9, 9, 9, 9, 9, 0 }
        << QList<int> { 0, 1, 2, 2, 2, 2, 2, 3, 8 };
}

void tst_FrameDelay::showsTheFrameDueAtEachTick()
{
    QFETCH(int, capacity);
    QFETCH(QList<int>, delays);
    QFETCH(QList<int>, shown);
    media::FrameDelay queue(capacity);
    QCOMPARE(queue.capacity(), capacity);
    for (int tick = 0; tick < delays.size(); ++tick) {
        queue.setDelay(delays[tick]);
        const int got = tickOf(queue.shift(frameOf(tick)));
        QVERIFY2(got == shown[tick] && queue.delay() == std::min(delays[tick], capacity),
            qPrintable(QStringLiteral("tick %1, delay %2 (held at %3): showed tick %4, expected %5")
                           .arg(tick)
                           .arg(delays[tick])
                           .arg(queue.delay())
                           .arg(got)
                           .arg(shown[tick])));
        QVERIFY2(queue.waiting() <= capacity,
            qPrintable(QStringLiteral("tick %1: %2 frames waiting in a queue of %3")
                           .arg(tick)
                           .arg(queue.waiting())
                           .arg(capacity)));
    }
}

void tst_FrameDelay::ticksFromMilliseconds_data()
{
    QTest::addColumn<double>("ms");
    QTest::addColumn<int>("ticks");
    QTest::newRow("none") << 0.0 << 0;
    QTest::newRow("below half a tick") << 8.0 << 0;
    QTest::newRow("above half a tick") << 9.0 << 1;
    QTest::newRow("a Bluetooth output and 30 ms more") << 180.0 << 11;
    QTest::newRow("the longest --delay") << 2000.0 << 120;
    QTest::newRow("below 0") << -5.0 << 0;
}

void tst_FrameDelay::ticksFromMilliseconds()
{
    QFETCH(double, ms);
    QFETCH(int, ticks);
    QCOMPARE(media::delayTicks(ms), ticks);
}

QTEST_APPLESS_MAIN(tst_FrameDelay)
#include "tst_framedelay.moc"
