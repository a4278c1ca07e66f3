// Beats and tempo as the programs get them: click tracks and drum loops that sox makes, decoded
// and run through the analysis loop. The tempo must settle within 8 s, and follow a change within
// 8 s, to 2 % of the true tempo or its half or double; every hit must be flagged within one frame
// and nothing else.

#include "media/analysisloop.h"
#include "media/feed.h"
#include "runprogram.h"

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <vector>

namespace {

constexpr int kRateHz = 44100;
// The sounds: a click is a short high tone; the loop's kick falls in pitch, its snare and hat are
// noise.
constexpr double kClickSec = 0.015;
constexpr double kKickSec = 0.12;
constexpr double kSnareSec = 0.08;
// How long the estimate has to settle, and how close it must come (as the tempo checks promise).
constexpr double kSettleSec = 8.0;
constexpr double kTempoTolerance = 0.02;
// A hit is flagged within one frame: by the frame whose hop holds it, or, where it falls in the
// last third of that hop and the window's weight on it is still near zero, by the next frame
// (BeatTracker's contract). The tracks here have such hits from 0.67 of a hop on.
constexpr qint64 kHopSamples = kRateHz / dsp::kFrameRateHz;
constexpr qint64 kLateFromSamples = 2 * kHopSamples / 3;
// The first hits fall into the analyser's first window, which has nothing to rise from.
constexpr double kFirstCheckedHitSec = 0.2;

// Samples per beat, even so that a loop's eighth notes fall on whole samples too.
qint64 beatSamples(double bpm)
{
    return 2 * std::llround(kRateHz * 60.0 / bpm / 2.0);
}

QString samples(qint64 n)
{
    return QString::number(n) + "s";
}

// A mono 16-bit WAV of `beats` beats: clicks on every beat, or a loop (kick on 1 and 3, snare on
// 2 and 4, a hat on every eighth). Returns the hit times in s.
std::vector<double> makeTrack(
    const QString& dir, const QString& name, double bpm, int beats, bool loop)
{
    const qint64 beat = beatSamples(bpm);
    const QString out = dir + "/" + name + ".wav";
    // -R: the same noise on every run.
    const QStringList format { "-R", "-r", QString::number(kRateHz), "-c", "1", "-n", "-b", "16" };
    // One sound of `length` samples every `period` from `lead` on, decaying from its start.
    auto lane = [&](const QString& file, const QStringList& sound, double lengthSec, qint64 lead,
                    qint64 period, int count) {
        const qint64 length = std::llround(lengthSec * kRateHz);
        runProgram(SOX_EXE,
            format + QStringList { file, "synth", samples(length) } + sound
                + QStringList { "fade", "0", samples(length), samples(length), "pad", "0",
                    samples(period - length), "repeat", QString::number(count - 1), "pad",
                    samples(lead), "0" });
    };
    std::vector<double> hits;
    if (!loop) {
        lane(out, { "sine", "1500" }, kClickSec, 0, beat, beats);
        for (int b = 0; b < beats; ++b)
            hits.push_back(double(b * beat) / kRateHz);
        return hits;
    }
    const QString kick = dir + "/kick.wav";
    const QString snare = dir + "/snare.wav";
    const QString hat = dir + "/hat.wav";
    lane(kick, { "sine", "150-50" }, kKickSec, 0, 2 * beat, beats / 2);
    lane(snare, { "noise", "lowpass", "4000" }, kSnareSec, beat, 2 * beat, beats / 2);
    lane(hat, { "noise", "highpass", "5000", "gain", "-6" }, kClickSec, 0, beat / 2, beats * 2);
    runProgram(SOX_EXE, { "-m", kick, snare, hat, out });
    for (int h = 0; h < 2 * beats; ++h)
        hits.push_back(double(h * beat / 2) / kRateHz);
    return hits;
}

struct Heard {
    std::vector<double> onsets;
    // (time, bpm) per frame.
    std::vector<std::pair<double, float>> tempo;
};

Heard listen(const QString& path)
{
    Heard heard;
    std::string error;
    const std::unique_ptr<media::Feed> feed = media::openFeed(path.toStdString(), &error);
    if (!feed)
        return heard;
    media::AnalysisLoop loop(feed->sampleRate());
    media::FeedHops hops(*feed);
    while (loop.step(hops) != media::AnalysisLoop::Step::End) {
        const double t = double(loop.samplesRead()) / loop.rateHz();
        if (loop.beat().onset)
            heard.onsets.push_back(t);
        heard.tempo.emplace_back(t, loop.beat().bpm);
    }
    return heard;
}

// Whether bpm lies within the tolerance of the tempo, its half or its double.
bool sameTempo(double bpm, double truth)
{
    for (const double octave : { 0.5, 1.0, 2.0 }) {
        if (std::abs(bpm - truth * octave) <= kTempoTolerance * truth * octave)
            return true;
    }
    return false;
}

// The first frame from `from` on whose estimate strays from the truth, or an empty string.
QByteArray strayFrom(const Heard& heard, double from, double to, double truth)
{
    for (const auto& [t, bpm] : heard.tempo) {
        if (t >= from && t < to && !sameTempo(bpm, truth))
            return "at " + QByteArray::number(t, 'f', 3) + " s the estimate is "
                + QByteArray::number(bpm) + " BPM for " + QByteArray::number(truth);
    }
    return {};
}

} // namespace

class tst_Beats : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void tracks_data();
    void tracks();
    void followsATempoChange();
    void tempoEndsWithTheBeats();
    void badLevelsAreAbsorbed();
    void evenPulsesReadInTwos();

private:
    QTemporaryDir dir_;
};

void tst_Beats::initTestCase()
{
    QVERIFY(dir_.isValid());
    if (runProgram(SOX_EXE, { "--version" }).status != 0) {
        if (qgetenv("CI") == "true")
            QFAIL("sox does not run");
        QSKIP("sox does not run");
    }
}

void tst_Beats::tracks_data()
{
    QTest::addColumn<double>("bpm");
    QTest::addColumn<bool>("loop");
    for (const double bpm : { 70.0, 90.0, 120.0, 128.0, 140.0, 174.0 }) {
        for (const bool loop : { false, true }) {
            const QByteArray name
                = QByteArray::number(bpm) + (loop ? " BPM drum loop" : " BPM clicks");
            QTest::newRow(name.constData()) << bpm << loop;
        }
    }
}

void tst_Beats::tracks()
{
    QFETCH(double, bpm);
    QFETCH(bool, loop);
    const int beats = int(std::ceil((kSettleSec + 4.0) * bpm / 60.0)) & ~1;
    const QString name = QString("track%1%2").arg(bpm).arg(loop ? "loop" : "");
    const std::vector<double> hits = makeTrack(dir_.path(), name, bpm, beats, loop);
    const Heard heard = listen(dir_.path() + "/" + name + ".wav");
    QVERIFY2(!heard.tempo.empty(), "the track did not decode");

    const QByteArray stray = strayFrom(heard, kSettleSec, 1e9, bpm);
    QVERIFY2(stray.isEmpty(), stray.constData());

    // Each hit flagged once, within one frame, and nothing else. In samples: a frame's time is
    // the end of its hop, and the hits fall on whole samples.
    std::size_t next = 0;
    int checked = 0;
    const auto sampleOf = [](double sec) { return std::llround(sec * kRateHz); };
    for (const double hit : hits) {
        const qint64 at = sampleOf(hit);
        while (next < heard.onsets.size() && sampleOf(heard.onsets[next]) <= at) {
            QVERIFY2(heard.onsets[next] < kFirstCheckedHitSec,
                qPrintable(QString("an onset at %1 s with no hit").arg(heard.onsets[next])));
            ++next;
        }
        if (hit < kFirstCheckedHitSec)
            continue;
        const qint64 holding = (at / kHopSamples + 1) * kHopSamples;
        const qint64 flagged = next < heard.onsets.size() ? sampleOf(heard.onsets[next]) : -1;
        QVERIFY2(flagged == holding
                || (flagged == holding + kHopSamples && at % kHopSamples >= kLateFromSamples),
            qPrintable(QString("hit at sample %1 (%2 into its hop, which ends at %3): next onset "
                               "at sample %4")
                           .arg(at)
                           .arg(at % kHopSamples)
                           .arg(holding)
                           .arg(flagged)));
        ++next;
        ++checked;
    }
    QVERIFY2(next == heard.onsets.size(), "an onset after the last hit");
    QVERIFY(checked > 10);
}

void tst_Beats::followsATempoChange()
{
    constexpr double kFromBpm = 100.0;
    constexpr double kToBpm = 140.0;
    const int fromBeats = 20;
    makeTrack(dir_.path(), "from", kFromBpm, fromBeats, false);
    makeTrack(dir_.path(), "to", kToBpm, 28, false);
    const QString both = dir_.path() + "/change.wav";
    QCOMPARE(
        runProgram(SOX_EXE, { dir_.path() + "/from.wav", dir_.path() + "/to.wav", both }).status,
        0);
    const Heard heard = listen(both);
    const double change = double(fromBeats * beatSamples(kFromBpm)) / kRateHz;
    QByteArray stray = strayFrom(heard, kSettleSec, change, kFromBpm);
    QVERIFY2(stray.isEmpty(), stray.constData());
    stray = strayFrom(heard, change + kSettleSec, 1e9, kToBpm);
    QVERIFY2(stray.isEmpty(), stray.constData());
}

void tst_Beats::tempoEndsWithTheBeats()
{
    // Clicks, then silence: the tempo holds while they play and is 0 once dsp::kTempoHoldSec
    // have passed without a rise. The last click's level rises while it moves into the middle of
    // the analysis window (4096 samples at this rate: 93 ms), and the hold counts from there.
    constexpr double kWindowSec = 4096.0 / kRateHz;
    constexpr double kBpm = 120.0;
    constexpr int kBeats = 24;
    constexpr double kSilenceSec = 4.0;
    makeTrack(dir_.path(), "ending", kBpm, kBeats, false);
    const QString padded = dir_.path() + "/ended.wav";
    QCOMPARE(runProgram(SOX_EXE,
                 { dir_.path() + "/ending.wav", padded, "pad", "0", QString::number(kSilenceSec) })
                 .status,
        0);
    const Heard heard = listen(padded);
    const double lastClick = double((kBeats - 1) * beatSamples(kBpm)) / kRateHz;
    const QByteArray stray = strayFrom(heard, kSettleSec, lastClick + 1.0, kBpm);
    QVERIFY2(stray.isEmpty(), stray.constData());
    for (const auto& [t, bpm] : heard.tempo) {
        if (t >= lastClick + dsp::kTempoHoldSec + kWindowSec)
            QVERIFY2(bpm == 0.0f, qPrintable(QStringLiteral("%1 BPM at %2 s").arg(bpm).arg(t)));
    }
}

void tst_Beats::badLevelsAreAbsorbed()
{
    // Infinite and NaN levels, then a level jumping 40 dB every half second: the tracker's state
    // stays finite, and the jumps are onsets at 120 BPM, but for the first, which follows +inf
    // held to the ceiling.
    constexpr int kPeriodFrames = dsp::kFrameRateHz / 2;
    dsp::BeatTracker tracker;
    float levels[dsp::kDefaultBands];
    for (const float bad : { INFINITY, -INFINITY, NAN, INFINITY }) {
        std::fill(std::begin(levels), std::end(levels), bad);
        tracker.step(levels, dsp::kDefaultBands);
    }
    int onsets = 0;
    for (int frame = 0; frame < 10 * dsp::kFrameRateHz; ++frame) {
        std::fill(
            std::begin(levels), std::end(levels), frame % kPeriodFrames < 3 ? -20.0f : -60.0f);
        const dsp::BeatFrame& beat = tracker.step(levels, dsp::kDefaultBands);
        QVERIFY2(std::isfinite(beat.strength) && std::isfinite(beat.bpm)
                && beat.onset == (frame >= kPeriodFrames && frame % kPeriodFrames == 0),
            qPrintable(QStringLiteral("frame %1: onset %2, strength %3, %4 BPM")
                           .arg(frame)
                           .arg(beat.onset)
                           .arg(beat.strength)
                           .arg(beat.bpm)));
        onsets += beat.onset ? 1 : 0;
    }
    QCOMPARE(onsets, 10 * dsp::kFrameRateHz / kPeriodFrames - 1);
    QVERIFY(sameTempo(tracker.latest().bpm, 120.0));
}

void tst_Beats::evenPulsesReadInTwos()
{
    // Alike pulses 300 times a minute: beats of two pulses (150 BPM), not of three (100 BPM),
    // which the period's multiples rate as high and the preference for 120 BPM would choose.
    constexpr int kPulseFrames = 12;
    dsp::BeatTracker tracker;
    float levels[dsp::kDefaultBands];
    for (int frame = 0; frame < 12 * dsp::kFrameRateHz; ++frame) {
        std::fill(std::begin(levels), std::end(levels), frame % kPulseFrames < 2 ? -20.0f : -60.0f);
        tracker.step(levels, dsp::kDefaultBands);
    }
    QCOMPARE(tracker.latest().bpm, 150.0f);
}

QTEST_GUILESS_MAIN(tst_Beats)
#include "tst_beats.moc"
