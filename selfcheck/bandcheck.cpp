// bandcheck: feeds synthetic audio at 48 kHz (sines, seeded pink noise, silence) through the
// spectrum analyzer in 800-sample hops and checks the display frames that come out.

#include "dsp/spectrumanalyzer.h"

#include <QObject>
#include <QString>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

using dsp::SpectrumAnalyzer;
using dsp::SpectrumFrame;

namespace {

// Sample n of a source, counted from 0 at the start of every runHops call. Called exactly once per
// sample in increasing n, so a source may keep state.
using SignalSource = std::function<float(int)>;

constexpr double kTwoPi = 6.283185307179586;
constexpr int kHopSamples = 800; // 1/60 s at 48 kHz: one display frame

float silence(int)
{
    return 0.0f;
}

SignalSource sine(double freq, double amplitude)
{
    return [freq, amplitude](int n) {
        return static_cast<float>(std::sin(kTwoPi * freq * n / 48000.0) * amplitude);
    };
}

// Feeds `hops` hops of the source through the analyzer; returns the frame of the last hop that
// produced one, or a default frame when none did.
SpectrumFrame runHops(SpectrumAnalyzer& a, const SignalSource& source, int hops)
{
    std::vector<float> block(kHopSamples, 0.0f);
    SpectrumFrame s;
    int n = 0;
    for (int hop = 0; hop < hops; ++hop) {
        for (int j = 0; j < kHopSamples; ++j) {
            block[static_cast<std::size_t>(j)] = source(n);
            ++n;
        }
        a.pushSamples(block.data(), kHopSamples);
        a.process(s);
    }
    return s;
}

// Index of the tallest bar; ties keep the lower index and a NaN bar never wins.
int loudestBand(const SpectrumFrame& s)
{
    int best = 0;
    for (int k = 1; k < s.bandCount; ++k) {
        if (s.bars[k] > s.bars[best])
            best = k;
    }
    return best;
}

} // namespace

class TstSpectrum : public QObject {
    Q_OBJECT

private slots:
    void windowTracksSampleRate();
    void sineLandsInTheRightBand_data();
    void sineLandsInTheRightBand();
    void pinkNoiseGivesRoughlyFlatBands();
    void silenceRestsOnTheFloor();
    void exactZeroFramesResetOnRealAudio();
    void presenceRisesWithAudioAndFallsWithSilence();
    void agcLiftsAQuietSignal();
    void seqAdvancesEveryFrame();
};

void TstSpectrum::windowTracksSampleRate()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    QCOMPARE(a.fftSize(), 4096);
    a.configure(96000.0, 28);
    QCOMPARE(a.fftSize(), 8192);
    a.configure(44100.0, 28);
    QCOMPARE(a.fftSize(), 4096);
}

void TstSpectrum::sineLandsInTheRightBand_data()
{
    QTest::addColumn<double>("freq");
    QTest::newRow("100 Hz") << 100.0;
    QTest::newRow("1 kHz") << 1000.0;
    QTest::newRow("4 kHz") << 4000.0;
    QTest::newRow("10 kHz") << 10000.0;
}

void TstSpectrum::sineLandsInTheRightBand()
{
    QFETCH(double, freq);
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    const SpectrumFrame s = runHops(a, sine(freq, 0.4), 240);
    // 40 Hz is the lowest band edge, 400 the ratio of the highest edge to it, 28 the band count.
    const int expected
        = static_cast<int>(std::floor(std::log(freq / 40.0) / std::log(400.0) * 28.0));
    const int got = loudestBand(s);
    const QByteArray message = QStringLiteral("%1 Hz peaked in band %2, expected ~%3")
                                   .arg(freq)
                                   .arg(got)
                                   .arg(expected)
                                   .toLocal8Bit();
    QVERIFY2(std::abs(got - expected) <= 1, message.constData());
}

void TstSpectrum::pinkNoiseGivesRoughlyFlatBands()
{
    std::mt19937 engine(4242);
    std::normal_distribution<float> distribution(0.0f, 0.25f);
    float b0 = 0.0f;
    float b1 = 0.0f;
    float b2 = 0.0f;
    // Paul Kellet's economy pink filter: three poles spread over the audio band.
    const SignalSource pink = [&](int) {
        const float white = distribution(engine);
        b0 = 0.99765f * b0 + 0.099046f * white;
        b1 = 0.963f * b1 + 0.2965164f * white;
        b2 = 0.57f * b2 + 1.0526913f * white;
        return 0.25f * (b0 + b1 + b2 + 0.1848f * white);
    };

    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    const SpectrumFrame s = runHops(a, pink, 300);
    // The four lowest and four highest bands take no part: the filter is only roughly pink at the
    // extremes.
    float lo = 1.0f;
    float hi = 0.0f;
    for (int k = 4; k < s.bandCount - 4; ++k) {
        lo = std::min(lo, s.bars[k]);
        hi = std::max(hi, s.bars[k]);
    }
    QVERIFY2(hi > 0.15f, "pink noise should light the display up at all");
    const QByteArray message = QStringLiteral(
        "pink noise spread %1..%2 across bands; a summed log-band display should be roughly flat")
                                   .arg(static_cast<double>(lo))
                                   .arg(static_cast<double>(hi))
                                   .toLocal8Bit();
    QVERIFY2(hi - lo < 0.45f, message.constData());
}

void TstSpectrum::silenceRestsOnTheFloor()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    const SpectrumFrame s = runHops(a, silence, 300);
    for (int k = 0; k < s.bandCount; ++k)
        QVERIFY2(s.bars[k] < 0.02f, "silence must not light any band");
    QCOMPARE(s.presence, 0.0f);
    QVERIFY(s.rmsDb <= -120.0f);
    QVERIFY(a.exactZeroFrames() > 0);
}

void TstSpectrum::exactZeroFramesResetOnRealAudio()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    runHops(a, silence, 120);
    QVERIFY(a.exactZeroFrames() > 0);
    runHops(a, sine(440.0, 0.2), 120);
    QCOMPARE(a.exactZeroFrames(), 0);
}

void TstSpectrum::presenceRisesWithAudioAndFallsWithSilence()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    const SpectrumFrame loud = runHops(a, sine(440.0, 0.3), 120);
    QCOMPARE(loud.presence, 1.0f);
    const SpectrumFrame quiet = runHops(a, silence, 300);
    QCOMPARE(quiet.presence, 0.0f);
}

void TstSpectrum::agcLiftsAQuietSignal()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    const SpectrumFrame s = runHops(a, sine(1000.0, 0.02), 600);
    QVERIFY2(s.agcDb > 6.0f, "a -34 dBFS tone should have pulled the AGC up");
    QVERIFY2(s.bars[loudestBand(s)] > 0.3f, "and the display should be visibly moving");
}

void TstSpectrum::seqAdvancesEveryFrame()
{
    SpectrumAnalyzer a;
    a.configure(48000.0, 28);
    const SpectrumFrame first = runHops(a, silence, 100);
    const SpectrumFrame second = runHops(a, silence, 1);
    QVERIFY(second.seq > first.seq);
}

int main(int argc, char** argv)
{
    TstSpectrum object;
    QTest::setMainSourcePath(SELFCHECK_SOURCE_FILE, SELFCHECK_BUILD_DIR);
    return QTest::qExec(&object, argc, argv);
}

#include "bandcheck.moc"
