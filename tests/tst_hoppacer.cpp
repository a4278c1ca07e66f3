// The display side of capture, on a simulated clock: an audio thread that delivers 10 ms fragments
// with jitter, and a display that ticks 60 times a second. Checks one hop per frame once the
// cushion has built, catching up after a stall, and silence while the ring is dry. Samples carry
// their index, so a lost, repeated or reordered sample shows. Then the live feed's real clock after
// a stall, and where a capture goes when the default output changes.

#include "capture/hoppacer.h"
#include "capture/livefeed.h"
#include "media/hopclock.h"

#include <QTest>

#include <chrono>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr long kUsPerSecond = 1000000;
// Most a fragment arrives late; a loaded machine's scheduling delay.
constexpr long kJitterUs = 4000;

class Simulation {
public:
    explicit Simulation(int rate)
        : rate_(rate)
        , ring_(rate)
        , pacer_(ring_, rate)
        , hop_(static_cast<std::size_t>(capture::kMaxHopsPerFrame * pacer_.largestHop()))
        , fragment_(static_cast<std::size_t>(rate / 100))
    {
    }

    // Lets audio arrive up to the next display tick, then runs the frame. Returns the frame.
    capture::HopPacer::Frame tick(bool audioFlows = true)
    {
        nowUs_ += kUsPerSecond / 60;
        deliverUntil(audioFlows);
        readyBefore_ = ring_.available();
        const capture::HopPacer::Frame f = pacer_.next(hop_.data());
        int at = 0;
        for (int i = 0; i < f.hops; ++i) {
            if (f.hopSize[i] != clock_.next())
                badHopSize_ = true;
            for (int k = 0; k < f.hopSize[i]; ++k, ++at) {
                const float expected = f.starved ? 0.0f : static_cast<float>(consumed_++);
                if (hop_[static_cast<std::size_t>(at)] != expected && firstBad_ < 0)
                    firstBad_ = consumed_ - 1;
            }
        }
        return f;
    }
    // The display stalls for n ticks while audio keeps arriving.
    void stall(int n)
    {
        nowUs_ += n * kUsPerSecond / 60;
        deliverUntil(true);
    }

    const capture::HopPacer& pacer() const { return pacer_; }
    int readyBefore() const { return readyBefore_; }
    // Index of the first sample that came out wrong, -1 if none; every hop size as HopClock gave.
    long firstBadSample() const { return firstBad_; }
    bool hopSizesRight() const { return !badHopSize_; }

private:
    void deliverUntil(bool audioFlows)
    {
        // Fragment k is due at k * 10 ms and arrives up to kJitterUs late; a stopped source
        // delivers nothing, and on resuming its clock goes on from now.
        while (fragmentDueUs_ + arrivalDelay() <= nowUs_) {
            if (audioFlows) {
                for (float& s : fragment_)
                    s = static_cast<float>(produced_++);
                ring_.write(fragment_.data(), static_cast<int>(fragment_.size()));
            }
            fragmentDueUs_ += kUsPerSecond / 100;
            delayUs_ = -1;
        }
    }
    long arrivalDelay()
    {
        if (delayUs_ < 0)
            delayUs_ = static_cast<long>(random_() % kJitterUs);
        return delayUs_;
    }

    int rate_;
    capture::SampleRing ring_;
    capture::HopPacer pacer_;
    media::HopClock clock_ { rate_ };
    std::vector<float> hop_;
    std::vector<float> fragment_;
    std::mt19937 random_ { 7 };
    long nowUs_ = 0;
    long fragmentDueUs_ = 0;
    long delayUs_ = -1;
    long produced_ = 0;
    long consumed_ = 0;
    long firstBad_ = -1;
    bool badHopSize_ = false;
    int readyBefore_ = 0;
};

// A source whose server never delivers: the live feed's ring stays dry unless the test fills it.
class DrySource : public capture::CaptureSource {
public:
    explicit DrySource(int channels = 1)
        : ring_(kRateHz, channels)
    {
    }
    bool start(const std::string&, std::string*) override { return true; }
    void stop() override { }
    int sampleRate() const override { return kRateHz; }
    capture::SampleRing& ring() override { return ring_; }
    capture::Status status() const override { return {}; }
    bool listSources(std::vector<capture::SourceInfo>*, std::string*) override { return false; }

private:
    static constexpr int kRateHz = 48000;
    capture::SampleRing ring_;
};

} // namespace

class tst_HopPacer : public QObject {
    Q_OBJECT

private slots:
    void oneHopPerFrameOnceTheCushionHasBuilt_data();
    void oneHopPerFrameOnceTheCushionHasBuilt();
    void catchesUpWithTwoHopsAfterAStall();
    void dryRingGivesSilenceThenWaitsForTheCushion();
    void liveFeedHandsOutBothSidesAndTheirMix();
    void backlogSetsTheHopsAndWhatIsDropped_data();
    void backlogSetsTheHopsAndWhatIsDropped();
    void liveClockAfterAStall_data();
    void liveClockAfterAStall();
    void defaultChangeMovesOnlyWhatPlays_data();
    void defaultChangeMovesOnlyWhatPlays();
};

void tst_HopPacer::oneHopPerFrameOnceTheCushionHasBuilt_data()
{
    QTest::addColumn<int>("rate");
    // Whether every frame after the first must take one hop. The cushion covers the jitter at the
    // common rates; at 22.05 kHz (367.5 samples a hop, sizes alternate) a late fragment can still
    // leave the ring a few samples short now and then.
    QTest::addColumn<bool>("everyFrame");
    QTest::newRow("48 kHz") << 48000 << true;
    QTest::newRow("44.1 kHz") << 44100 << true;
    QTest::newRow("22.05 kHz") << 22050 << false;
}

void tst_HopPacer::oneHopPerFrameOnceTheCushionHasBuilt()
{
    QFETCH(int, rate);
    QFETCH(bool, everyFrame);
    Simulation sim(rate);
    // Until a hop and the cushion have gathered the frames are silence: at most two ticks.
    std::uint64_t frames = 0;
    while (sim.tick().starved)
        QVERIFY2(++frames <= 2, "no audio after two ticks");
    QCOMPARE(sim.pacer().waitingFrames(), frames);
    // A minute of display; the goal for live capture is 98 % single-hop frames.
    int single = 0;
    for (int i = 0; i < 3600; ++i) {
        const capture::HopPacer::Frame f = sim.tick();
        single += f.hops == 1 && !f.starved;
    }
    QVERIFY2(single >= 0.98 * 3600,
        qPrintable(QStringLiteral("%1 of 3600 frames took one hop, %2 starved, %3 caught up")
                       .arg(single)
                       .arg(sim.pacer().starvedFrames())
                       .arg(sim.pacer().catchUpFrames())));
    if (everyFrame) {
        QCOMPARE(single, 3600);
        QCOMPARE(sim.pacer().starvedFrames(), std::uint64_t(0));
    }
    QCOMPARE(sim.firstBadSample(), -1L);
    QVERIFY(sim.hopSizesRight());
}

void tst_HopPacer::catchesUpWithTwoHopsAfterAStall()
{
    Simulation sim(48000);
    for (int i = 0; i < 60; ++i)
        sim.tick();
    sim.stall(4);
    // Four frames behind: two hops a frame until the backlog is under three hops and the cushion.
    int catchUps = 0;
    capture::HopPacer::Frame f = sim.tick();
    while (f.hops == 2) {
        ++catchUps;
        f = sim.tick();
    }
    QVERIFY2(catchUps >= 2 && catchUps <= 4,
        qPrintable(QStringLiteral("%1 catch-up frames").arg(catchUps)));
    for (int i = 0; i < 120; ++i)
        QCOMPARE(sim.tick().hops, 1);
    QCOMPARE(sim.pacer().catchUpFrames(), std::uint64_t(catchUps));
    QCOMPARE(sim.pacer().starvedFrames(), std::uint64_t(0));
    QCOMPARE(sim.firstBadSample(), -1L);
}

void tst_HopPacer::dryRingGivesSilenceThenWaitsForTheCushion()
{
    Simulation sim(48000);
    for (int i = 0; i < 60; ++i)
        sim.tick();
    const std::uint64_t starvedBefore = sim.pacer().starvedFrames();
    // The source stops: what is left in the ring plays out, then every frame is a silent hop.
    int audioFrames = 0;
    while (!sim.tick(false).starved)
        ++audioFrames;
    QVERIFY2(audioFrames <= 1,
        qPrintable(QStringLiteral("%1 frames after the source stopped").arg(audioFrames)));
    for (int i = 0; i < 30; ++i)
        QVERIFY(sim.tick(false).starved);
    // Back again: silence until the ring holds a hop plus the cushion.
    const int needed = sim.pacer().largestHop() + sim.pacer().cushionSamples();
    while (sim.tick().starved)
        QVERIFY2(sim.readyBefore() < needed,
            qPrintable(QStringLiteral("starved with %1 samples ready").arg(sim.readyBefore())));
    QVERIFY2(sim.readyBefore() >= needed,
        qPrintable(QStringLiteral("took audio with only %1 samples ready").arg(sim.readyBefore())));
    QVERIFY(sim.pacer().starvedFrames() > starvedBefore + 30);
    QCOMPARE(sim.firstBadSample(), -1L);
    QVERIFY(sim.hopSizesRight());
}

void tst_HopPacer::backlogSetsTheHopsAndWhatIsDropped_data()
{
    // What the ring holds beyond a hop and the cushion, in hops (and samples more); what a frame
    // then takes, and how much it drops.
    QTest::addColumn<int>("beyondHops");
    QTest::addColumn<int>("beyondSamples");
    QTest::addColumn<int>("hops");
    QTest::addColumn<bool>("dropped");
    QTest::newRow("nothing more: one hop") << 0 << 0 << 1 << false;
    QTest::newRow("a sample short of three hops and the cushion: one") << 2 << -1 << 1 << false;
    QTest::newRow("three hops and the cushion: two") << 2 << 0 << 2 << false;
    QTest::newRow("the most backlog kept: two") << capture::kMaxBacklogHops << 0 << 2 << false;
    QTest::newRow("a sample more: the newest hop") << capture::kMaxBacklogHops << 1 << 1 << true;
}

void tst_HopPacer::backlogSetsTheHopsAndWhatIsDropped()
{
    QFETCH(int, beyondHops);
    QFETCH(int, beyondSamples);
    QFETCH(int, hops);
    QFETCH(bool, dropped);
    constexpr int kRate = 48000;
    capture::SampleRing ring(kRate);
    capture::HopPacer pacer(ring, kRate);
    const int hop = pacer.largestHop();
    const int held = hop + pacer.cushionSamples() + beyondHops * hop + beyondSamples;
    std::vector<float> samples(static_cast<std::size_t>(held));
    for (int i = 0; i < held; ++i)
        samples[static_cast<std::size_t>(i)] = static_cast<float>(i);
    QCOMPARE(ring.write(samples.data(), held), held);
    std::vector<float> out(static_cast<std::size_t>(capture::kMaxHopsPerFrame * hop));
    const capture::HopPacer::Frame f = pacer.next(out.data());
    QCOMPARE(f.hops, hops);
    QVERIFY(!f.starved);
    // What is dropped is the oldest: the hop taken starts a hop and the cushion from the end.
    const std::uint64_t skipped = dropped ? std::uint64_t(held - hop - pacer.cushionSamples()) : 0;
    QCOMPARE(pacer.skippedSamples(), skipped);
    QCOMPARE(out[0], static_cast<float>(skipped));
}

void tst_HopPacer::liveFeedHandsOutBothSidesAndTheirMix()
{
    auto source = std::make_unique<DrySource>(2);
    capture::SampleRing& ring = source->ring();
    std::string why;
    const auto feed = capture::LiveFeed::open(
        "tst_hoppacer", std::move(source), capture::kDefaultMonitor, &why);
    QVERIFY2(feed, why.c_str());
    QCOMPARE(feed->channels(), 2);
    const int hop = media::HopClock(feed->sampleRate()).largestHop();
    // Left counts up, right counts down by half as much: their mix is a quarter of the count.
    std::vector<float> frames;
    for (int i = 0; i < 2 * hop; ++i) {
        frames.push_back(static_cast<float>(i));
        frames.push_back(-0.5f * static_cast<float>(i));
    }
    QCOMPARE(ring.write(frames.data(), 2 * hop), 2 * hop);
    std::vector<float> mono(static_cast<std::size_t>(hop));
    std::vector<float> sides(static_cast<std::size_t>(2 * hop), -1.0f);
    QCOMPARE(feed->read(mono.data(), hop, sides.data()), hop);
    const int size = media::HopClock(feed->sampleRate()).next();
    for (int i = 0; i < hop; ++i) {
        const float left = i < size ? frames[2 * i] : 0.0f;
        const float right = i < size ? frames[2 * i + 1] : 0.0f;
        QVERIFY2(sides[2 * i] == left && sides[2 * i + 1] == right && mono[i] == 0.25f * left,
            qPrintable(QStringLiteral("frame %1: %2 %3 mono %4")
                           .arg(i)
                           .arg(sides[2 * i])
                           .arg(sides[2 * i + 1])
                           .arg(mono[i])));
    }
}

void tst_HopPacer::liveClockAfterAStall_data()
{
    // How long the display stalls, and how many reads then return at once: one a tick missed,
    // until the clock is more than kMaxLateTicks behind and starts again from now.
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<int>("least");
    QTest::addColumn<int>("most");
    QTest::newRow("3 ticks: each made up") << 50 << 2 << capture::kMaxLateTicks;
    QTest::newRow("30 ticks: from now") << 500 << 1 << capture::kMaxLateTicks;
}

void tst_HopPacer::liveClockAfterAStall()
{
    QFETCH(int, stallMs);
    QFETCH(int, least);
    QFETCH(int, most);
    std::string why;
    const auto feed = capture::LiveFeed::open(
        "tst_hoppacer", std::make_unique<DrySource>(), capture::kDefaultMonitor, &why);
    QVERIFY2(feed, why.c_str());
    std::vector<float> hop(
        static_cast<std::size_t>(media::HopClock(feed->sampleRate()).largestHop()));
    const int count = static_cast<int>(hop.size());
    // In step with the clock first: each read waits for its tick.
    for (int i = 0; i < 2; ++i)
        feed->read(hop.data(), count, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
    int atOnce = 0;
    for (; feed->due() && atOnce <= most; ++atOnce)
        feed->read(hop.data(), count, nullptr);
    QVERIFY2(atOnce >= least && atOnce <= most,
        qPrintable(QStringLiteral("%1 reads without waiting after a stall of %2 ms, not %3 to %4")
                       .arg(atOnce)
                       .arg(stallMs)
                       .arg(least)
                       .arg(most)));
}

void tst_HopPacer::defaultChangeMovesOnlyWhatPlays_data()
{
    // The source asked for, the one captured and the new default output's monitor; where the
    // capture goes (empty: it stays).
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<QString>("to");
    const QString plays = QString::fromLatin1(capture::kDefaultMonitor);
    QTest::newRow("what plays: follows")
        << QStringList { plays, "a.monitor", "b.monitor" } << "b.monitor";
    QTest::newRow("what plays, there already")
        << QStringList { plays, "b.monitor", "b.monitor" } << "";
    QTest::newRow("named: stays") << QStringList { "a.monitor", "a.monitor", "b.monitor" } << "";
}

void tst_HopPacer::defaultChangeMovesOnlyWhatPlays()
{
    QFETCH(QStringList, sources);
    QFETCH(QString, to);
    QCOMPARE(QString::fromStdString(capture::sourceAfterDefaultChange(
                 sources[0].toStdString(), sources[1].toStdString(), sources[2].toStdString())),
        to);
}

QTEST_APPLESS_MAIN(tst_HopPacer)
#include "tst_hoppacer.moc"
