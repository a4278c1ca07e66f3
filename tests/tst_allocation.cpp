// Heap use of the core, watched through a replaced global operator new: the per-frame calls never
// allocate, nor does a step of the analysis loop that the programs run on them (its beat tracker
// included, on one group and two; with the queue that holds its frames back, its delay changing as
// an output's latency does), and configure() leaves the analyzer untouched when any of its
// allocations fails.

#include "dsp/spectrumanalyzer.h"
#include "heapcounter.h"
#include "media/framedelay.h"
#include "tonehops.h"

#include <QTest>

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Allocations made while it lives; failOn arms the n-th of them to throw (0: none).
class Counter {
public:
    explicit Counter(long failOn = 0)
        : start_(heapcounter::allocations())
    {
        heapcounter::failAllocation(failOn);
    }
    ~Counter() { heapcounter::failAllocation(0); }
    Counter(const Counter&) = delete;
    Counter& operator=(const Counter&) = delete;

    long made() const { return heapcounter::allocations() - start_; }

private:
    long start_;
};

constexpr unsigned kHop = 800;

std::vector<float> tone(double freq, unsigned count)
{
    std::vector<float> samples(count);
    for (unsigned i = 0; i < count; ++i)
        samples[i] = static_cast<float>(0.3 * std::sin(6.283185307179586 * freq * i / 48000.0));
    return samples;
}

class FrameCount : public media::FrameConsumer {
public:
    void take(const media::AnalysedHop& hop) override { frames += hop.ready ? 1 : 0; }
    int frames = 0;
};

// Each frame through a FrameDelay whose delay goes up and down by a few ticks.
class HeldBack : public media::FrameConsumer {
public:
    void take(const media::AnalysedHop& hop) override
    {
        delay.setDelay(hops++ % 7);
        delay.shift({ hop.timeSec(), hop.frames.front(), {}, hop.beat });
    }
    media::FrameDelay delay;
    int hops = 0;
};

bool sameFrame(const dsp::SpectrumFrame& a, const dsp::SpectrumFrame& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

class tst_Allocation : public QObject {
    Q_OBJECT

private slots:
    void steadyStateNeverAllocates_data();
    void steadyStateNeverAllocates();
    void analysisLoopStepNeverAllocates_data();
    void analysisLoopStepNeverAllocates();
    void failedConfigureLeavesTheAnalyzerAsItWas_data();
    void failedConfigureLeavesTheAnalyzerAsItWas();
};

void tst_Allocation::steadyStateNeverAllocates_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("44.1 kHz") << 44100.0;
    QTest::newRow("48 kHz") << 48000.0;
    QTest::newRow("96 kHz") << 96000.0;
}

void tst_Allocation::steadyStateNeverAllocates()
{
    QFETCH(double, rate);
    dsp::SpectrumAnalyzer analyzer;
    long configureAllocations = 0;
    {
        Counter counter;
        analyzer.configure(rate, 28);
        configureAllocations = counter.made();
    }
    // The counter itself works: configure is where the memory comes from.
    QVERIFY(configureAllocations > 0);

    const std::vector<float> audio = tone(997.0, 48000);
    dsp::SpectrumFrame frame;
    dsp::Ballistics ballistics;
    float levels[dsp::kMaxBands];
    for (float& level : levels)
        level = -30.0f;
    float bars[dsp::kMaxBands];
    float peaks[dsp::kMaxBands];
    int frames = 0;
    {
        Counter counter;
        for (unsigned start = 0; start + kHop <= audio.size(); start += kHop) {
            analyzer.pushSamples(audio.data() + start, kHop);
            frames += analyzer.process(frame) ? 1 : 0;
            ballistics.step(levels, dsp::kMaxBands, -20.0f, bars, peaks);
        }
        analyzer.pushSamples(audio.data(), static_cast<unsigned>(audio.size()));
        frames += analyzer.process(frame) ? 1 : 0;
        QCOMPARE(counter.made(), 0L);
    }
    QVERIFY(frames > 40);
}

void tst_Allocation::analysisLoopStepNeverAllocates_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("groups");
    QTest::newRow("22.05 kHz, one group") << 22050 << 1;
    QTest::newRow("48 kHz, two groups") << 48000 << 2;
}

void tst_Allocation::analysisLoopStepNeverAllocates()
{
    QFETCH(int, rate);
    QFETCH(int, groups);
    ToneHops source(rate, groups, 48000);
    media::AnalysisLoop loop(rate, groups);
    FrameCount consumer;
    HeldBack heldBack;
    loop.addConsumer(consumer);
    loop.addConsumer(heldBack);
    int steps = 0;
    Counter counter;
    // To the end of the source, the short last hop and the end included.
    while (loop.step(source) != media::AnalysisLoop::Step::End)
        ++steps;
    const long made = counter.made();
    QVERIFY2(made == 0,
        QByteArray::number(made) + " allocations in " + QByteArray::number(steps) + " steps");
    QVERIFY2(consumer.frames > 40, QByteArray::number(consumer.frames) + " frames");
}

void tst_Allocation::failedConfigureLeavesTheAnalyzerAsItWas_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("bands");
    QTest::newRow("new FFT size") << 96000.0 << 20;
    QTest::newRow("same FFT size, more bands") << 44100.0 << 32;
}

void tst_Allocation::failedConfigureLeavesTheAnalyzerAsItWas()
{
    QFETCH(double, rate);
    QFETCH(int, bands);
    const std::vector<float> audio = tone(440.0, 6 * kHop);

    long needed = 0;
    {
        dsp::SpectrumAnalyzer probe;
        probe.configure(48000.0, 28);
        Counter counter;
        probe.configure(rate, bands);
        needed = counter.made();
    }
    QVERIFY(needed > 0);

    for (long k = 1; k <= needed; ++k) {
        // Two analyzers with the same history; only one sees the failing configure.
        dsp::SpectrumAnalyzer victim;
        dsp::SpectrumAnalyzer twin;
        dsp::SpectrumFrame victimFrame;
        dsp::SpectrumFrame twinFrame;
        for (dsp::SpectrumAnalyzer* a : { &victim, &twin }) {
            a->configure(48000.0, 28);
            a->pushSamples(audio.data(), static_cast<unsigned>(audio.size()));
        }
        QVERIFY(victim.process(victimFrame));
        QVERIFY(twin.process(twinFrame));

        bool threw = false;
        try {
            Counter counter(k);
            victim.configure(rate, bands);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        QVERIFY2(threw, QByteArray::number(static_cast<qlonglong>(k)));
        QCOMPARE(victim.fftSize(), 4096);
        QCOMPARE(victim.bandCount(), 28);
        QCOMPARE(victim.sampleRate(), 48000.0);

        // Still ready on the old configuration, and exactly in step with the twin.
        for (int hop = 0; hop < 3; ++hop) {
            victim.pushSamples(audio.data() + hop * kHop, kHop);
            twin.pushSamples(audio.data() + hop * kHop, kHop);
            QVERIFY(victim.process(victimFrame));
            QVERIFY(twin.process(twinFrame));
            QVERIFY2(sameFrame(victimFrame, twinFrame),
                QByteArray("allocation ") + QByteArray::number(static_cast<qlonglong>(k)) + " of "
                    + QByteArray::number(static_cast<qlonglong>(needed)) + ", hop "
                    + QByteArray::number(hop));
        }
    }
}

QTEST_APPLESS_MAIN(tst_Allocation)
#include "tst_allocation.moc"
