// Recovery from corrupt audio: after a burst of non-finite samples and a stretch of silence, the
// display rests and then shows new audio exactly as if the burst had never arrived.

#include "dsp/spectrumanalyzer.h"

#include <QTest>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

using dsp::SpectrumAnalyzer;
using dsp::SpectrumFrame;

namespace {

constexpr double kRateHz = 48000.0;
constexpr unsigned kHop = 800; // 1/60 s at 48 kHz: one display frame
constexpr double kTwoPi = 6.283185307179586;
constexpr int kMusicHops = 120;
// Silent hops that push the music out of the 4096-sample buffer, so both runs hear its tail alike.
constexpr int kFlushHops = (4096 + kHop - 1) / kHop;
constexpr int kBurstHops = 30;
constexpr int kSilentHops = 600;
constexpr int kToneHops = 90;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Sample n of a burst.
using Burst = std::function<float(unsigned)>;

float tone(unsigned n, double freq, double amplitude)
{
    return static_cast<float>(std::sin(kTwoPi * freq * n / kRateHz) * amplitude);
}

// Two tones, one of them quiet, so the AGC has settled somewhere away from both of its limits.
float music(unsigned n)
{
    return tone(n, 220.0, 0.05) + tone(n, 3300.0, 0.01);
}

// One analyzer at 48 kHz fed hop by hop; a source is asked for sample 0, 1, 2, ... afresh on every
// call of hops().
class Run {
public:
    Run() { analyzer_.configure(kRateHz, dsp::kDefaultBands); }

    void hops(int count, const std::function<float(unsigned)>& source)
    {
        unsigned n = 0;
        for (int hop = 0; hop < count; ++hop) {
            for (float& s : block_)
                s = source(n++);
            analyzer_.pushSamples(block_.data(), kHop);
            analyzer_.process(frame_);
        }
    }

    const SpectrumFrame& frame() const { return frame_; }

private:
    SpectrumAnalyzer analyzer_;
    SpectrumFrame frame_;
    std::vector<float> block_ = std::vector<float>(kHop);
};

float silence(unsigned)
{
    return 0.0f;
}

int loudestBand(const SpectrumFrame& f)
{
    int best = 0;
    for (int k = 1; k < f.bandCount; ++k) {
        if (f.bars[k] > f.bars[best])
            best = k;
    }
    return best;
}

QByteArray describe(const QString& what, int hop, double got, double expected)
{
    return QStringLiteral("%1, tone hop %2: got %3, expected %4")
        .arg(what)
        .arg(hop)
        .arg(got, 0, 'g', 9)
        .arg(expected, 0, 'g', 9)
        .toLocal8Bit();
}

} // namespace

Q_DECLARE_METATYPE(Burst)

class tst_Recovery : public QObject {
    Q_OBJECT

private slots:
    void displayRecoversAfterANonFiniteBurst_data();
    void displayRecoversAfterANonFiniteBurst();
};

void tst_Recovery::displayRecoversAfterANonFiniteBurst_data()
{
    QTest::addColumn<Burst>("burst");
    QTest::newRow("NaN") << Burst([](unsigned) { return kNaN; });
    QTest::newRow("+inf") << Burst([](unsigned) { return kInf; });
    QTest::newRow("-inf") << Burst([](unsigned) { return -kInf; });
    QTest::newRow("alternating +inf and -inf")
        << Burst([](unsigned n) { return n % 2 ? kInf : -kInf; });
    QTest::newRow("NaN, +inf and -inf mixed")
        << Burst([](unsigned n) { return n % 3 == 0 ? kNaN : (n % 3 == 1 ? kInf : -kInf); });
    // A decoder that botches both edges of every block: each hop starts and ends with a click, so
    // any buffer that holds some of this music holds a click too.
    QTest::newRow("+inf clicks in music") << Burst([](unsigned n) {
        const unsigned inHop = n % kHop;
        return inHop == 0 || inHop == kHop - 1 ? kInf : music(n);
    });
}

void tst_Recovery::displayRecoversAfterANonFiniteBurst()
{
    QFETCH(Burst, burst);
    // The reference run never hears the burst.
    Run corrupted;
    Run reference;
    for (Run* run : { &corrupted, &reference }) {
        run->hops(kMusicHops, music);
        run->hops(kFlushHops, silence);
    }
    corrupted.hops(kBurstHops, burst);
    for (Run* run : { &corrupted, &reference })
        run->hops(kSilentHops, silence);

    const SpectrumFrame& rest = corrupted.frame();
    for (int k = 0; k < rest.bandCount; ++k) {
        QVERIFY2(
            rest.bars[k] < 0.02f, describe(QStringLiteral("bar %1").arg(k), 0, rest.bars[k], 0.0));
        QVERIFY2(rest.peaks[k] < 0.02f,
            describe(QStringLiteral("peak %1").arg(k), 0, rest.peaks[k], 0.0));
    }
    QCOMPARE(rest.presence, 0.0f);

    // A bar 1e-4 off is a 0.0045 dB difference in gain (45 dB span full height): far finer than
    // the gain any measurable trace of the burst would leave, and far coarser than the rounding
    // of two runs that only differ by bar residue below 1e-20 after 600 silent frames.
    constexpr float kBarTolerance = 1e-4f;
    for (int hop = 1; hop <= kToneHops; ++hop) {
        const unsigned start = static_cast<unsigned>(hop - 1) * kHop;
        const auto toneSource = [start](unsigned n) { return tone(start + n, 1000.0, 0.1); };
        corrupted.hops(1, toneSource);
        reference.hops(1, toneSource);
        const SpectrumFrame& got = corrupted.frame();
        const SpectrumFrame& expected = reference.frame();
        // The gain is state that silence never touches: any trace of the burst would stay in it.
        QVERIFY2(got.agcDb == expected.agcDb,
            describe(QStringLiteral("gain"), hop, got.agcDb, expected.agcDb));
        QVERIFY2(loudestBand(got) == loudestBand(expected),
            describe(QStringLiteral("loudest band"), hop, loudestBand(got), loudestBand(expected)));
        for (int k = 0; k < got.bandCount; ++k) {
            QVERIFY2(std::abs(got.bars[k] - expected.bars[k]) < kBarTolerance,
                describe(QStringLiteral("bar %1").arg(k), hop, got.bars[k], expected.bars[k]));
        }
    }
    // The comparison means something only if the tone stands out.
    const SpectrumFrame& shown = reference.frame();
    QVERIFY2(shown.bars[loudestBand(shown)] > 0.5f,
        describe(QStringLiteral("tallest bar"), kToneHops, shown.bars[loudestBand(shown)], 0.5));
}

QTEST_APPLESS_MAIN(tst_Recovery)
#include "tst_recovery.moc"
