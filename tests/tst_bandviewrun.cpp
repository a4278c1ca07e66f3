// bandview's run loop: hops of 1/60 s at every sample rate, frame times, the mono mix of a sound
// file and the data rows.

#include "analysis.h"
#include "bandviewfiles.h"
#include "csv.h"
#include "source.h"

#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <vector>

using bandview::Analysis;
using bandview::HopClock;

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::vector<float> sine(double hz, double amplitude, int rate, double seconds)
{
    std::vector<float> s(static_cast<std::size_t>(std::llround(rate * seconds)));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i]
            = static_cast<float>(amplitude * std::sin(kTwoPi * hz * static_cast<double>(i) / rate));
    return s;
}

} // namespace

class tst_BandviewRun : public QObject {
    Q_OBJECT

private slots:
    void hopClockKeepsSixtyHopsPerSecond_data();
    void hopClockKeepsSixtyHopsPerSecond();
    void framesComeSixtyPerSecondOfAudio_data();
    void framesComeSixtyPerSecondOfAudio();
    void soundFileIsAveragedToMono();
    void csvRowsReadBackExactly();
};

void tst_BandviewRun::hopClockKeepsSixtyHopsPerSecond_data()
{
    QTest::addColumn<int>("rate");
    for (int rate :
        { 8000, 11025, 16000, 22050, 32000, 44100, 47999, 48000, 88200, 96000, 176400, 192000 })
        QTest::newRow(qPrintable(QStringLiteral("%1 Hz").arg(rate))) << rate;
}

void tst_BandviewRun::hopClockKeepsSixtyHopsPerSecond()
{
    QFETCH(int, rate);
    HopClock clock(rate);
    const int low = rate / 60;
    const int high = (rate + 59) / 60;
    QCOMPARE(clock.largestHop(), high);
    long long total = 0;
    for (int second = 1; second <= 10; ++second) {
        for (int i = 0; i < 60; ++i) {
            const int hop = clock.next();
            QVERIFY2(hop == low || hop == high,
                qPrintable(QStringLiteral("hop %1 of %2 samples").arg(i).arg(hop)));
            total += hop;
        }
        QVERIFY2(total == static_cast<long long>(rate) * second,
            qPrintable(QStringLiteral("%1 samples after %2 s").arg(total).arg(second)));
    }
}

void tst_BandviewRun::framesComeSixtyPerSecondOfAudio_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("fftSize");
    QTest::newRow("8 kHz") << 8000 << 1024;
    QTest::newRow("22.05 kHz") << 22050 << 2048;
    QTest::newRow("44.1 kHz") << 44100 << 4096;
    QTest::newRow("96 kHz") << 96000 << 8192;
}

void tst_BandviewRun::framesComeSixtyPerSecondOfAudio()
{
    QFETCH(int, rate);
    QFETCH(int, fftSize);
    constexpr int kSeconds = 3;
    bandview::MemorySource source(sine(1000.0, 0.3, rate, kSeconds), rate);
    Analysis analysis(source);
    int hops = 0;
    std::vector<bandview::TimedFrame> frames;
    for (Analysis::Step step; (step = analysis.advance()) != Analysis::Step::End; ++hops) {
        if (step == Analysis::Step::Frame)
            frames.push_back(analysis.frame());
    }
    QCOMPARE(analysis.analyzer().fftSize(), fftSize);
    QCOMPARE(hops, kSeconds * 60);
    // The first frame comes with the hop that completes the first analysis window.
    int firstFrameHop = 0;
    while (static_cast<long long>(rate) * firstFrameHop / 60 < fftSize)
        ++firstFrameHop;
    QCOMPARE(static_cast<int>(frames.size()), hops - firstFrameHop + 1);
    QCOMPARE(frames.back().timeSec, static_cast<double>(kSeconds));
    for (std::size_t i = 60; i < frames.size(); ++i) {
        // Exact in samples: 60 hops always hold one second.
        const long long samples
            = std::llround(frames[i].timeSec * rate) - std::llround(frames[i - 60].timeSec * rate);
        QVERIFY2(samples == rate,
            qPrintable(QStringLiteral("frame %1 at %2 s, 60 frames before at %3 s")
                           .arg(i)
                           .arg(frames[i].timeSec)
                           .arg(frames[i - 60].timeSec)));
        QCOMPARE(frames[i].frame.seq, frames[i - 1].frame.seq + 1);
    }
}

void tst_BandviewRun::soundFileIsAveragedToMono()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("three.wav"));
    const std::vector<float> a = sine(300.0, 0.5, 32000, 0.5);
    const std::vector<float> b = sine(2000.0, -0.25, 32000, 0.5);
    const std::vector<float> c(a.size(), 0.125f);
    QVERIFY(writeSoundFile(path, { a, b, c }, 32000, SF_FORMAT_WAV | SF_FORMAT_FLOAT));

    QString reason;
    auto source = bandview::SoundFileSource::open(path, &reason);
    QVERIFY2(source, qPrintable(reason));
    QCOMPARE(source->sampleRate(), 32000);
    QCOMPARE(source->channels(), 3);
    QCOMPARE(source->expectedSamples(), static_cast<std::int64_t>(a.size()));
    // Odd block sizes cross the decoder's own buffering.
    std::vector<float> mono;
    std::vector<float> block(777);
    int got = 0;
    while ((got = source->read(block.data(), static_cast<int>(block.size()))) > 0)
        mono.insert(mono.end(), block.begin(), block.begin() + got);
    QCOMPARE(got, 0);
    QCOMPARE(mono.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        const float expected = (a[i] + b[i] + c[i]) / 3.0f;
        QVERIFY2(mono[i] == expected,
            qPrintable(
                QStringLiteral("sample %1: %2, expected %3").arg(i).arg(mono[i]).arg(expected)));
    }
}

void tst_BandviewRun::csvRowsReadBackExactly()
{
    bandview::TimedFrame f { 7.0 / 3.0, {} };
    f.frame.seq = 4294967295u;
    f.frame.bandCount = 3;
    f.frame.rmsDb = -120.0f;
    f.frame.agcDb = 1.0f / 3.0f;
    f.frame.presence = 0.1f;
    const float bars[3] = { 0.0f, 1.0e-7f, 0.99999994f };
    const float peaks[3] = { 1.0f, 0.5f, 0.33333334f };
    std::copy(bars, bars + 3, f.frame.bars);
    std::copy(peaks, peaks + 3, f.frame.peaks);

    const QList<QByteArray> header = bandview::csvHeader(3).trimmed().split(',');
    QCOMPARE(header.join(','),
        QByteArray("seq,timeSec,rmsDb,agcDb,presence,bar0,bar1,bar2,peak0,peak1,peak2"));
    const QByteArray row = bandview::csvRow(f);
    QVERIFY(row.endsWith('\n'));
    const QList<QByteArray> cells = row.trimmed().split(',');
    QCOMPARE(cells.size(), header.size());
    QCOMPARE(cells[0].toUInt(), f.frame.seq);
    QCOMPARE(cells[1].toDouble(), f.timeSec);
    const float expected[] = { f.frame.rmsDb, f.frame.agcDb, f.frame.presence, bars[0], bars[1],
        bars[2], peaks[0], peaks[1], peaks[2] };
    for (int i = 0; i < 9; ++i) {
        QVERIFY2(cells[i + 2].toFloat() == expected[i],
            qPrintable(QStringLiteral("column %1: '%2' for %3")
                           .arg(i + 2)
                           .arg(cells[i + 2])
                           .arg(expected[i], 0, 'g', 9)));
    }
}

QTEST_APPLESS_MAIN(tst_BandviewRun)
#include "tst_bandviewrun.moc"
