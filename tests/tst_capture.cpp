// Capture from a real sound server: the private PulseAudio that the pulse_server fixture starts,
// with a null sink "vis_null" as the default output. Tones are played into the sink with pacat
// and heard on its monitor; the server is killed and restarted, sinks come and go under a capture
// that waits for its named source, and the audio callback is watched for heap allocations.

#include "capture/capturesource.h"
#include "capture/hoppacer.h"
#include "capturedrain.h"
#include "dsp/spectrumanalyzer.h"
#include "heapcounter.h"
#include "pulseplay.h"

#include <QScopeGuard>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using namespace pulseplay;
using capturedrain::collect;
using capturedrain::waitFor;

// RMS over 0.25 s from the first sample louder than 0.05 in up to timeoutMs of capture; -1 if the
// tone never came.
double toneRms(capture::CaptureSource& c, int timeoutMs = 3000, int channel = -1)
{
    const std::vector<float> got = collect(c, timeoutMs, channel);
    const auto start
        = std::find_if(got.begin(), got.end(), [](float s) { return std::fabs(s) > 0.05f; });
    const long from = start - got.begin();
    const long count = kRateHz / 4;
    if (start == got.end() || static_cast<long>(got.size()) - from < count + kRateHz / 10)
        return -1.0;
    // Skip the first 0.1 s: the sink may ramp the stream in.
    double sum = 0.0;
    for (long i = from + kRateHz / 10; i < from + kRateHz / 10 + count; ++i)
        sum += static_cast<double>(got[static_cast<std::size_t>(i)])
            * got[static_cast<std::size_t>(i)];
    return std::sqrt(sum / count);
}

// Whether the stream runs from vis_null's monitor within 3 s.
bool streamsFromTheNullMonitor(capture::CaptureSource& c)
{
    return waitFor(c, 3000, [](const capture::Status& s) {
        return s.link == capture::Link::Streaming && s.source == "vis_null.monitor";
    });
}

std::uint64_t watchedCalls = 0;
void watchCallback(bool entering)
{
    heapcounter::watchThisThread(entering);
    watchedCalls += entering;
}

} // namespace

class tst_Capture : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void listsSourcesWithTheirMarks();
    void hearsAToneMixedToMono();
    void callbackNeverAllocates();
    void followsTheServerThroughARestart();
    void absentSourceIsAwaitedInSilence();
    void namedSourceThatGoesIsAwaitedNeverReplaced();
    void whatPlaysIsTakenAgainWhenAnOutputIsBack();
    void followsTheDefaultOutputUnlessNamed_data();
    void followsTheDefaultOutputUnlessNamed();
    void barsFallToZeroWhenNothingPlays();
    void failsWithOneLine_data();
    void failsWithOneLine();
};

void tst_Capture::initTestCase()
{
    std::vector<capture::SourceInfo> sources;
    std::string error;
    if (capture::createCaptureSource("tst_capture")->listSources(&sources, &error))
        return;
    const QByteArray why = "no private sound server (see the pulse_server_start test): "
        + QByteArray::fromStdString(error);
    if (ci())
        QFAIL(why.constData());
    QSKIP(why.constData());
}

void tst_Capture::listsSourcesWithTheirMarks()
{
    std::vector<capture::SourceInfo> sources;
    std::string error;
    QVERIFY(capture::createCaptureSource("tst_capture")->listSources(&sources, &error));
    const auto monitor = std::find_if(sources.begin(), sources.end(),
        [](const capture::SourceInfo& s) { return s.name == "vis_null.monitor"; });
    QVERIFY2(monitor != sources.end(), "vis_null.monitor not listed");
    QVERIFY(monitor->isMonitor);
    QVERIFY(monitor->isDefault);
    QCOMPARE(monitor->rateHz, kRateHz);
    QCOMPARE(monitor->channels, 2);
    QVERIFY(!monitor->description.empty());
}

void tst_Capture::hearsAToneMixedToMono()
{
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start(capture::kDefaultMonitor, &error), error.c_str());
    QCOMPARE(c->sampleRate(), kRateHz);
    // Left at 0.5, right silent: the channels' average is a sine of amplitude 0.25. The sink
    // stores 16-bit samples, so the RMS is 0.25 / sqrt(2) within a few 1/32768 steps.
    Tone tone("vis_null", 1000.0, 0.5f, 0.0f);
    const double rms = toneRms(*c);
    // The sides are kept apart: the right one stays silent (no sample above 0.05).
    QCOMPARE(toneRms(*c, 1000, 1), -1.0);
    QVERIFY2(std::fabs(rms - 0.25 / std::sqrt(2.0)) < 1e-3,
        qPrintable(
            QStringLiteral("RMS %1, %2 samples dropped").arg(rms).arg(c->status().droppedSamples)));
    const capture::Status s = c->status();
    QVERIFY(s.link == capture::Link::Streaming);
    QCOMPARE(QString::fromStdString(s.source), QStringLiteral("vis_null.monitor"));
    // The tone may have come late on a loaded machine: the count goes on until a second is in.
    QVERIFY2(waitFor(*c, 5000,
                 [](const capture::Status& now) {
                     return now.capturedSamples >= static_cast<std::uint64_t>(kRateHz);
                 }),
        qPrintable(QStringLiteral("%1 samples captured").arg(c->status().capturedSamples)));
    QCOMPARE(c->status().droppedSamples, std::uint64_t(0));
    c->stop();
    QVERIFY(c->status().link == capture::Link::Stopped);
}

void tst_Capture::callbackNeverAllocates()
{
    if (!heapcounter::active())
        QSKIP("ThreadSanitizer's operator new replaces the counting one; the normal build counts");
    // The watch itself counts: an allocation on a watched thread shows.
    const long before = heapcounter::watchedAllocations();
    heapcounter::watchThisThread(true);
    // Through a volatile pointer, so that the compiler cannot leave the allocation out.
    int* volatile probe = new int(1);
    heapcounter::watchThisThread(false);
    delete probe;
    QCOMPARE(heapcounter::watchedAllocations(), before + 1);

    watchedCalls = 0;
    capture::setCallbackProbe(watchCallback);
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start(capture::kDefaultMonitor, &error), error.c_str());
    {
        Tone tone("vis_null", 440.0, 0.3f, 0.3f);
        collect(*c, 3000);
    }
    c->stop();
    capture::setCallbackProbe(nullptr);
    // 10 ms fragments: about a hundred callbacks a second once the sound flows.
    QVERIFY2(watchedCalls >= 20, qPrintable(QStringLiteral("%1 callbacks").arg(watchedCalls)));
    QCOMPARE(heapcounter::watchedAllocations(), before + 1);
}

void tst_Capture::followsTheServerThroughARestart()
{
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start(capture::kDefaultMonitor, &error), error.c_str());
    {
        Tone tone("vis_null", 1000.0, 0.5f, 0.5f);
        QVERIFY(toneRms(*c) > 0.3);
    }
    // A failure below must not leave the later cases without a server.
    const auto restart = qScopeGuard([] { pulseServer("start"); });
    QVERIFY(pulseServer("kill"));
    QVERIFY2(waitFor(*c, 2000,
                 [](const capture::Status& s) { return s.link == capture::Link::Reconnecting; }),
        "the lost server went unnoticed");
    QVERIFY2(QString::fromStdString(c->status().problem).contains(QLatin1String("went away")),
        c->status().problem.c_str());
    // The ring runs dry while the server is gone.
    collect(*c, 100);
    QCOMPARE(collect(*c, 300).size(), std::size_t(0));
    QVERIFY2(waitFor(*c, 3000,
                 [](const capture::Status& s) { return s.retryMs == capture::kRetryLongestMs; }),
        qPrintable(QStringLiteral("the pause stayed at %1 ms").arg(c->status().retryMs)));

    QVERIFY(pulseServer("start"));
    QVERIFY2(waitFor(*c, 5000,
                 [](const capture::Status& s) { return s.link == capture::Link::Streaming; }),
        "no reconnection within 5 s of the server's return");
    QCOMPARE(c->status().reconnects, 1);
    {
        Tone tone("vis_null", 1000.0, 0.5f, 0.5f);
        const double rms = toneRms(*c);
        QVERIFY2(rms > 0.3, qPrintable(QStringLiteral("RMS after the restart %1").arg(rms)));
    }

    // The first outage lasted long enough for the pauses to reach their longest; after the
    // reconnect a second outage starts from the first pause again, doubling once per failed
    // attempt.
    QVERIFY(pulseServer("kill"));
    QVERIFY2(waitFor(*c, 2000,
                 [](const capture::Status& s) { return s.link == capture::Link::Reconnecting; }),
        "the second loss went unnoticed");
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500)) {
        const capture::Status s = c->status();
        const int expected = std::min(
            capture::kRetryFirstMs << std::min(s.failedAttempts, 8), capture::kRetryLongestMs);
        QVERIFY2(s.retryMs == expected,
            qPrintable(QStringLiteral("pause %1 ms after %2 failed attempts, expected %3")
                           .arg(s.retryMs)
                           .arg(s.failedAttempts)
                           .arg(expected)));
        collect(*c, 50);
    }
    QVERIFY(pulseServer("start"));
    QVERIFY2(waitFor(*c, 5000,
                 [](const capture::Status& s) { return s.link == capture::Link::Streaming; }),
        "no reconnection within 5 s of the server's second return");
    QCOMPARE(c->status().reconnects, 2);
}

namespace {

// Runs a shell command line with its standard output in a file; that output, trimmed, or empty on
// failure.
std::string shellOutput(const std::string& command)
{
    QTemporaryFile out;
    if (!out.open() || run({ "sh", "-c", command + " > " + out.fileName().toStdString() }) != 0)
        return {};
    return out.readAll().trimmed().toStdString();
}

// Loads a null sink; returns its module index, empty on failure.
std::string loadSink(const std::string& name)
{
    return shellOutput("pactl load-module module-null-sink sink_name=" + name);
}

std::string loadOtherSink()
{
    return loadSink("vis_other");
}

// The rate the server mixes at, as the default sample line of pactl info gives it; 0 if unknown.
int serverRateHz()
{
    return std::atoi(shellOutput("pactl info | sed -n 's/^Default Sample [A-Za-z]*: .* "
                                 "\\([0-9]*\\)Hz$/\\1/p'")
                         .c_str());
}

// While a tone plays on the default output, vis_null, for a second: the loudest sample that
// reached the ring, 0 where none did.
float loudestWhileTheDefaultPlays(capture::CaptureSource& c)
{
    Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 1.5);
    float loudest = 0.0f;
    for (float v : collect(c, 1000))
        loudest = std::max(loudest, std::fabs(v));
    return loudest;
}

bool waits(capture::CaptureSource& c)
{
    return waitFor(
        c, 3000, [](const capture::Status& s) { return s.link == capture::Link::Waiting; });
}

bool streamsFrom(capture::CaptureSource& c, const std::string& source)
{
    return waitFor(c, 3000, [&](const capture::Status& s) {
        return s.link == capture::Link::Streaming && s.source == source;
    });
}

} // namespace

void tst_Capture::absentSourceIsAwaitedInSilence()
{
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start("vis_late.monitor", &error), error.c_str());
    const capture::Status s = c->status();
    QVERIFY(s.link == capture::Link::Waiting);
    QCOMPARE(QString::fromStdString(s.source), QStringLiteral("vis_late.monitor"));
    QCOMPARE(QString::fromStdString(s.problem),
        QStringLiteral("source 'vis_late.monitor' is absent; waiting for it"));
    // vis_null runs at 48 kHz; the server's own rate is what an absent source is taken at.
    QCOMPARE(c->sampleRate(), serverRateHz());
    const float loudest = loudestWhileTheDefaultPlays(*c);
    QVERIFY2(loudest == 0.0f, qPrintable(QStringLiteral("heard %1 while waiting").arg(loudest)));

    const std::string module = loadSink("vis_late");
    QVERIFY2(!module.empty(), "cannot load the awaited sink");
    const auto unload = qScopeGuard([&] { run({ "pactl", "unload-module", module }); });
    QVERIFY2(streamsFrom(*c, "vis_late.monitor"), c->status().source.c_str());
    QCOMPARE(c->status().moves, 0);
    Tone tone("vis_late", 1000.0, 0.5f, 0.5f);
    const double rms = toneRms(*c);
    QVERIFY2(rms > 0.3, qPrintable(QStringLiteral("RMS %1 of a tone on vis_late").arg(rms)));
}

void tst_Capture::namedSourceThatGoesIsAwaitedNeverReplaced()
{
    std::string module = loadOtherSink();
    QVERIFY2(!module.empty(), "cannot load a second null sink");
    const auto unload = qScopeGuard([&] { run({ "pactl", "unload-module", module }); });
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start("vis_other.monitor", &error), error.c_str());
    QVERIFY2(streamsFrom(*c, "vis_other.monitor"), c->status().source.c_str());
    QCOMPARE(run({ "pactl", "unload-module", module }), 0);
    // The default output's monitor is there to move to; the stream must not go there.
    QVERIFY2(waits(*c), c->status().source.c_str());
    const capture::Status s = c->status();
    QCOMPARE(QString::fromStdString(s.source), QStringLiteral("vis_other.monitor"));
    QCOMPARE(QString::fromStdString(s.problem),
        QStringLiteral("source 'vis_other.monitor' went away; waiting for it"));
    QCOMPARE(s.moves, 0);
    const float loudest = loudestWhileTheDefaultPlays(*c);
    QVERIFY2(loudest == 0.0f, qPrintable(QStringLiteral("heard %1 while waiting").arg(loudest)));

    module = loadOtherSink();
    QVERIFY2(!module.empty(), "cannot load the second null sink again");
    QVERIFY2(streamsFrom(*c, "vis_other.monitor"), c->status().source.c_str());
    QCOMPARE(c->status().reconnects, 1);
    Tone tone("vis_other", 1000.0, 0.5f, 0.5f);
    QVERIFY(toneRms(*c) > 0.3);
}

void tst_Capture::whatPlaysIsTakenAgainWhenAnOutputIsBack()
{
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start(capture::kDefaultMonitor, &error), error.c_str());
    // The only sink goes: with no source to move the stream to, the server ends it. Capture
    // tries again, and takes the default monitor when a sink is back.
    QCOMPARE(run({ "sh", "-c",
                 "pactl list short modules | awk '/sink_name=vis_null/ { print $1 }' | "
                 "xargs -r pactl unload-module" }),
        0);
    const bool lost = waitFor(
        *c, 3000, [](const capture::Status& s) { return s.link == capture::Link::Reconnecting; });
    const std::string problem = c->status().problem;
    QCOMPARE(run({ "pactl", "load-module", "module-null-sink", "sink_name=vis_null", "rate=48000",
                 "channels=2" }),
        0);
    QCOMPARE(run({ "pactl", "set-default-sink", "vis_null" }), 0);
    QVERIFY2(lost, "the ended stream went unnoticed");
    QVERIFY2(QString::fromStdString(problem).contains(QLatin1String("vis_null.monitor")),
        problem.c_str());
    QVERIFY2(streamsFromTheNullMonitor(*c), c->status().source.c_str());
    QCOMPARE(c->status().reconnects, 1);
    Tone tone("vis_null", 1000.0, 0.5f, 0.5f);
    QVERIFY(toneRms(*c) > 0.3);
}

void tst_Capture::followsTheDefaultOutputUnlessNamed_data()
{
    // What is captured, and the sink heard after the default output moved from vis_null to
    // vis_other.
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("heard");
    QTest::newRow("what plays: follows") << QString(capture::kDefaultMonitor) << "vis_other";
    QTest::newRow("named: stays") << "vis_null.monitor"
                                  << "vis_null";
}

void tst_Capture::followsTheDefaultOutputUnlessNamed()
{
    QFETCH(QString, source);
    QFETCH(QString, heard);
    const std::string module = loadOtherSink();
    QVERIFY2(!module.empty(), "cannot load a second null sink");
    const auto restore = qScopeGuard([&] {
        run({ "pactl", "set-default-sink", "vis_null" });
        run({ "pactl", "unload-module", module });
    });
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start(source.toStdString(), &error), error.c_str());
    QCOMPARE(run({ "pactl", "set-default-sink", "vis_other" }), 0);
    // A move takes a few round trips to the server; a stray one has time to show.
    collect(*c, 1000);
    const capture::Status s = c->status();
    const QString expected = heard + QStringLiteral(".monitor");
    QVERIFY2(s.link == capture::Link::Streaming && s.source == expected.toStdString()
            && s.moves == (heard == QLatin1String("vis_null") ? 0 : 1),
        qPrintable(QStringLiteral("capturing '%1' after %2 moves, expected '%3'")
                       .arg(QString::fromStdString(s.source))
                       .arg(s.moves)
                       .arg(expected)));
    Tone tone(heard.toLatin1().constData(), 1000.0, 0.5f, 0.5f);
    const double rms = toneRms(*c);
    QVERIFY2(rms > 0.3, qPrintable(QStringLiteral("RMS %1 of a tone on %2").arg(rms).arg(heard)));
}

void tst_Capture::barsFallToZeroWhenNothingPlays()
{
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    QVERIFY2(c->start(capture::kDefaultMonitor, &error), error.c_str());
    capture::HopPacer pacer(c->ring(), c->sampleRate());
    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(c->sampleRate());
    std::vector<float> hops(
        static_cast<std::size_t>(capture::kMaxHopsPerFrame * pacer.largestHop()));
    dsp::SpectrumFrame frame;
    // A display loop: a tone until its bar stands, then three seconds of nothing, on an idle server
    // that may run slow; the silence analysed while the ring is dry brings the bars down all the
    // same.
    auto run = [&](int frames) {
        auto due = std::chrono::steady_clock::now();
        for (int i = 0; i < frames; ++i) {
            due += std::chrono::microseconds(1000000 / 60);
            std::this_thread::sleep_until(due);
            const capture::HopPacer::Frame f = pacer.next(hops.data());
            int at = 0;
            for (int h = 0; h < f.hops; ++h) {
                analyzer.pushSamples(hops.data() + at, f.hopSize[h]);
                at += f.hopSize[h];
                analyzer.process(frame);
            }
        }
    };
    // A new stream on the null sink's monitor can take up to 2 s to deliver its first samples.
    float loudest = 0.0f;
    {
        Tone tone("vis_null", 1000.0, 0.5f, 0.5f, 4.0);
        for (int waited = 0; waited < 210 && loudest <= 0.5f; waited += 10) {
            run(10);
            loudest = *std::max_element(frame.bars, frame.bars + frame.bandCount);
        }
    }
    QVERIFY2(
        loudest > 0.5f, qPrintable(QStringLiteral("tallest bar %1 during the tone").arg(loudest)));
    run(180);
    // The bars fall exponentially; below 1e-3 of full scale is less than a pixel on any display.
    for (int k = 0; k < frame.bandCount; ++k)
        QVERIFY2(frame.bars[k] < 1e-3f,
            qPrintable(QStringLiteral("bar %1 at %2").arg(k).arg(frame.bars[k])));
}

void tst_Capture::failsWithOneLine_data()
{
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QStringList>("mentions");
    QTest::newRow("no server") << QByteArray("unix:/nonexistent/native") << QString()
                               << QStringList { QStringLiteral("no sound server"),
                                      QStringLiteral("PULSE_SERVER") };
    QTest::newRow("one application") << QByteArray() << QStringLiteral("app:vis_player")
                                     << QStringList { QStringLiteral("app:vis_player"),
                                            QStringLiteral("--capture-backend pipewire") };
}

void tst_Capture::failsWithOneLine()
{
    QFETCH(QByteArray, server);
    QFETCH(QString, source);
    QFETCH(QStringList, mentions);
    if (!server.isEmpty())
        qputenv("PULSE_SERVER", server);
    auto c = capture::createCaptureSource("tst_capture");
    std::string error;
    const bool started = c->start(source.toStdString(), &error);
    qunsetenv("PULSE_SERVER");
    QVERIFY(!started);
    const QString line = QString::fromStdString(error);
    QVERIFY2(!line.isEmpty() && !line.contains(QLatin1Char('\n')), qPrintable(line));
    for (const QString& m : mentions)
        QVERIFY2(line.contains(m), qPrintable(line));
    QVERIFY(c->status().link == capture::Link::Stopped);
}

QTEST_GUILESS_MAIN(tst_Capture)
#include "tst_capture.moc"
