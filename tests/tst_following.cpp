// The window's animation held back by --delay: stepped by each hop's frame as many ticks after the
// hop as the delay holds, on silent frames until the first is due, so that the picture lags the
// sound it follows by exactly that much.

#include "following.h"

#include <QTest>

#include <cstring>
#include <vector>

namespace {

constexpr int kHops = 150;
constexpr int kRateHz = 48000;
constexpr int kHopSamples = kRateHz / dsp::kFrameRateHz;

// Hop i's frame: bars that differ from hop to hop, so that a frame shown at the wrong tick shows.
dsp::SpectrumFrame frameOf(int hop)
{
    dsp::SpectrumFrame f;
    f.seq = static_cast<std::uint32_t>(hop);
    for (int k = 0; k < f.bandCount; ++k)
        f.bars[k] = static_cast<float>((hop * 7 + k) % 11) / 10.0f;
    return f;
}

} // namespace

class tst_Following : public QObject {
    Q_OBJECT

private slots:
    void delayedAnimationLagsByItsTicks_data();
    void delayedAnimationLagsByItsTicks();
};

void tst_Following::delayedAnimationLagsByItsTicks_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("ticks");
    QTest::newRow("none") << 0 << 0;
    QTest::newRow("100 ms") << 100 << 6;
    QTest::newRow("the longest --delay") << 2000 << 120;
}

void tst_Following::delayedAnimationLagsByItsTicks()
{
    QFETCH(int, delayMs);
    QFETCH(int, ticks);
    visualiser::DelayedAnimated delayed;
    delayed.setDelayMs(delayMs);
    visual::Animation expected;
    std::vector<dsp::SpectrumFrame> frames(1);
    const dsp::BeatFrame beat;
    for (int i = 0; i < kHops; ++i) {
        frames[0] = frameOf(i);
        delayed.take({ std::int64_t(i + 1) * kHopSamples, kRateHz, true, frames, beat });
        expected.step(i >= ticks ? frameOf(i - ticks) : dsp::SpectrumFrame {});
        const visual::Look& got = delayed.look();
        QVERIFY2(std::memcmp(got.audio.data(), expected.look().audio.data(), sizeof got.audio) == 0
                && got.strands.time == expected.look().strands.time,
            qPrintable(QStringLiteral("hop %1: clock %2, expected %3 (hop %4's frame)")
                           .arg(i)
                           .arg(got.strands.time)
                           .arg(expected.look().strands.time)
                           .arg(i - ticks)));
    }
}

QTEST_APPLESS_MAIN(tst_Following)
#include "tst_following.moc"
