// The built-in demo programme through the analysis core: each section shows what its name says.

#include "analysis.h"
#include "media/demo.h"
#include "media/feed.h"

#include <QTest>

#include <cmath>
#include <vector>

using bandview::Analysis;
using bandview::TimedFrame;
using media::kDemoSections;

namespace {

const media::DemoSection& section(const char* name)
{
    for (const media::DemoSection& s : kDemoSections) {
        if (qstrcmp(s.name, name) == 0)
            return s;
    }
    qFatal("no demo section %s", name);
}

} // namespace

class tst_BandviewDemo : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void sectionsTileTheProgramme();
    void sectionsPlayAtTheirLevels_data();
    void sectionsPlayAtTheirLevels();
    void loudestBandClimbsThroughTheSweep();
    void quietPassageLiftsTheGainAndLoudPullsItDown();
    void presenceHoldsThroughTheShortGapAndFadesInTheLongOne();

private:
    // Frames whose analysis window lay wholly inside the section.
    std::vector<TimedFrame> framesOf(const media::DemoSection& s) const;

    std::vector<float> samples_;
    std::vector<TimedFrame> frames_;
    double windowSec_ = 0.0;
};

void tst_BandviewDemo::initTestCase()
{
    samples_ = media::renderDemo();
    media::MemoryFeed source(samples_, media::kDemoRateHz);
    Analysis analysis(source);
    Analysis::Step step;
    do {
        step = analysis.advance();
        if (step == Analysis::Step::Frame)
            frames_.push_back(analysis.frame());
    } while (step == Analysis::Step::Frame || step == Analysis::Step::Warming);
    QCOMPARE(step, Analysis::Step::End);
    windowSec_ = static_cast<double>(analysis.analyzer().fftSize()) / media::kDemoRateHz;
}

std::vector<TimedFrame> tst_BandviewDemo::framesOf(const media::DemoSection& s) const
{
    std::vector<TimedFrame> inside;
    for (const TimedFrame& f : frames_) {
        // A hop's end lands on whole samples; 1e-9 s absorbs the division.
        if (f.timeSec - windowSec_ >= s.startSec - 1e-9 && f.timeSec <= s.endSec + 1e-9)
            inside.push_back(f);
    }
    return inside;
}

void tst_BandviewDemo::sectionsTileTheProgramme()
{
    QCOMPARE(kDemoSections[0].startSec, 0.0);
    for (int i = 0; i < media::kDemoSectionCount; ++i) {
        const auto& s = kDemoSections[i];
        QVERIFY2(s.endSec > s.startSec, s.name);
        if (i > 0)
            QVERIFY2(s.startSec == kDemoSections[i - 1].endSec, s.name);
        // Boundaries on whole hops keep every frame of a section inside it.
        const double hops = s.startSec * dsp::kFrameRateHz;
        QVERIFY2(hops == std::round(hops),
            qPrintable(QStringLiteral("%1 starts at %2 s").arg(s.name).arg(s.startSec)));
    }
    QVERIFY2(media::kDemoLengthSec >= 18.0 && media::kDemoLengthSec <= 22.0,
        qPrintable(QString::number(media::kDemoLengthSec)));
    QCOMPARE(samples_.size(), static_cast<std::size_t>(media::kDemoLengthSec * media::kDemoRateHz));
    QCOMPARE(media::demoSectionAt(0.0), 0);
    QCOMPARE(media::demoSectionAt(14.6), 4);
    QCOMPARE(media::demoSectionAt(media::kDemoLengthSec + 1.0), media::kDemoSectionCount - 1);
}

void tst_BandviewDemo::sectionsPlayAtTheirLevels_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < media::kDemoSectionCount; ++i)
        QTest::newRow(kDemoSections[i].name) << i;
}

void tst_BandviewDemo::sectionsPlayAtTheirLevels()
{
    QFETCH(int, index);
    const auto& s = kDemoSections[index];
    const auto begin = static_cast<std::size_t>(std::llround(s.startSec * media::kDemoRateHz));
    const auto end = static_cast<std::size_t>(std::llround(s.endSec * media::kDemoRateHz));
    double sum = 0.0;
    float largest = 0.0f;
    for (std::size_t i = begin; i < end; ++i) {
        sum += static_cast<double>(samples_[i]) * samples_[i];
        largest = std::max(largest, std::abs(samples_[i]));
    }
    if (!std::isfinite(s.levelDbfs)) {
        // Digital silence, as a file would hold it: the analyzer counts it as exact zeros.
        QVERIFY2(largest == 0.0f, qPrintable(QStringLiteral("largest sample %1").arg(largest)));
        return;
    }
    const double db = 10.0 * std::log10(sum / static_cast<double>(end - begin));
    // The 10 ms fades at both ends take at most 0.05 dB from the shortest section (1.2 s).
    QVERIFY2(std::abs(db - s.levelDbfs) < 0.1,
        qPrintable(QStringLiteral("%1 dBFS, meant %2").arg(db).arg(s.levelDbfs)));
    QVERIFY2(largest < 1.0f, qPrintable(QStringLiteral("clips: largest sample %1").arg(largest)));
}

void tst_BandviewDemo::loudestBandClimbsThroughTheSweep()
{
    const std::vector<TimedFrame> sweep = framesOf(section("sweep"));
    QVERIFY(sweep.size() > 200);
    int previous = bandview::tallestBand(sweep.front().frame);
    QVERIFY2(previous <= 1, qPrintable(QStringLiteral("starts in band %1").arg(previous)));
    for (std::size_t i = 1; i < sweep.size(); ++i) {
        const int band = bandview::tallestBand(sweep[i].frame);
        QVERIFY2(band >= previous,
            qPrintable(QStringLiteral("at %1 s the tallest band fell from %2 to %3")
                           .arg(sweep[i].timeSec)
                           .arg(previous)
                           .arg(band)));
        previous = band;
    }
    QVERIFY2(previous >= 26, qPrintable(QStringLiteral("ends in band %1").arg(previous)));
}

void tst_BandviewDemo::quietPassageLiftsTheGainAndLoudPullsItDown()
{
    const std::vector<TimedFrame> quiet = framesOf(section("quiet"));
    const float lifted = quiet.back().frame.agcDb;
    QVERIFY2(lifted > 6.0f,
        qPrintable(QStringLiteral("agcDb %1 at the end of the quiet passage").arg(lifted)));
    QVERIFY2(quiet.back().frame.rmsDb > -43.0f && quiet.back().frame.rmsDb < -37.0f,
        qPrintable(QStringLiteral("rmsDb %1").arg(quiet.back().frame.rmsDb)));

    // The gain falls with a 300 ms time constant: one second of the loud passage takes it down.
    const std::vector<TimedFrame> loud = framesOf(section("loud"));
    for (const TimedFrame& f : loud) {
        if (f.timeSec >= section("loud").startSec + 1.0) {
            QVERIFY2(f.frame.agcDb < 0.0f,
                qPrintable(QStringLiteral("agcDb %1 at %2 s").arg(f.frame.agcDb).arg(f.timeSec)));
        }
    }
}

void tst_BandviewDemo::presenceHoldsThroughTheShortGapAndFadesInTheLongOne()
{
    const auto& shortGap = section("short gap");
    const auto& longGap = section("long gap");
    int silentFrames = 0;
    for (const TimedFrame& f : frames_) {
        if (f.timeSec > shortGap.startSec && f.timeSec <= section("return").endSec) {
            QVERIFY2(f.frame.presence == 1.0f,
                qPrintable(
                    QStringLiteral("presence %1 at %2 s").arg(f.frame.presence).arg(f.timeSec)));
            silentFrames += f.frame.rmsDb < dsp::kGateDb ? 1 : 0;
        }
    }
    // Proves that the short gap really went silent for the analyzer, or the check above is idle.
    QVERIFY2(silentFrames > 5, qPrintable(QStringLiteral("%1 silent frames").arg(silentFrames)));

    const std::vector<TimedFrame> gap = framesOf(longGap);
    QCOMPARE(gap.back().frame.presence, 0.0f);
    QCOMPARE(gap.back().frame.rmsDb, dsp::kSilenceDb);
}

QTEST_APPLESS_MAIN(tst_BandviewDemo)
#include "tst_bandviewdemo.moc"
