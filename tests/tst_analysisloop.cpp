// The analysis loop's own promises, beyond what the programs' outputs show: every group analysed
// from its own samples at the display's cadence, every consumer handed every hop in the order the
// consumers were added, and the end reached without a consumer call.

#include "media/analysisloop.h"

#include <QTest>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kLengthSec = 0.6;
// A second's tone per group, each its own frequency, so that a group analysed from another's
// samples shows.
constexpr double kFirstToneHz = 330.0;
constexpr double kToneStepHz = 1250.0;

std::vector<float> tone(double hz, int rate, int count)
{
    std::vector<float> samples(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        samples[std::size_t(i)] = float(0.25 * std::sin(6.283185307179586 * hz * i / rate));
    return samples;
}

// Each group's tone, cut at the end: the last hop is short.
class ToneHops : public media::HopSource {
public:
    ToneHops(int rate, int groups)
    {
        const int count = int(kLengthSec * rate) + 7;
        for (int g = 0; g < groups; ++g)
            tones.push_back(tone(kFirstToneHz + kToneStepHz * g, rate, count));
    }
    int fill(float* const* groups, int count) override
    {
        const int n = std::min(count, int(tones[0].size()) - next);
        for (std::size_t g = 0; g < tones.size(); ++g)
            std::memcpy(groups[g], tones[g].data() + next, sizeof(float) * std::size_t(n));
        next += n;
        return n;
    }
    std::vector<std::vector<float>> tones;
    int next = 0;
};

struct Taken {
    int call;
    std::int64_t samplesRead;
    bool ready;
    std::vector<dsp::SpectrumFrame> frames;
};

class Recorder : public media::FrameConsumer {
public:
    explicit Recorder(int* calls)
        : calls_(calls)
    {
    }
    void take(const media::AnalysedHop& hop) override
    {
        taken.push_back({ (*calls_)++, hop.samplesRead, hop.ready, hop.frames });
    }
    std::vector<Taken> taken;

private:
    int* calls_;
};

bool sameFrame(const dsp::SpectrumFrame& a, const dsp::SpectrumFrame& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

QByteArray where(std::size_t hop, int group)
{
    return "hop " + QByteArray::number(qulonglong(hop)) + ", group " + QByteArray::number(group);
}

} // namespace

class tst_AnalysisLoop : public QObject {
    Q_OBJECT

private slots:
    void everyGroupEveryConsumerInOrder_data();
    void everyGroupEveryConsumerInOrder();
};

void tst_AnalysisLoop::everyGroupEveryConsumerInOrder_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("groups");
    // 22050 Hz: hops of 367 and 368 samples in turn.
    QTest::newRow("22.05 kHz, one group") << 22050 << 1;
    QTest::newRow("44.1 kHz, two groups") << 44100 << 2;
    QTest::newRow("48 kHz, three groups") << 48000 << 3;
}

void tst_AnalysisLoop::everyGroupEveryConsumerInOrder()
{
    QFETCH(int, rate);
    QFETCH(int, groups);
    ToneHops source(rate, groups);
    media::AnalysisLoop loop(rate, groups);
    int calls = 0;
    Recorder first(&calls);
    Recorder second(&calls);
    loop.addConsumer(first);
    loop.addConsumer(second);

    // The same tones through analysers of their own, hop by hop at the same cadence.
    std::vector<dsp::SpectrumAnalyzer> alone(static_cast<std::size_t>(groups));
    for (dsp::SpectrumAnalyzer& a : alone)
        a.configure(rate);
    media::HopClock clock(rate);
    std::int64_t read = 0;
    std::vector<bool> readyAlone;
    std::vector<std::vector<dsp::SpectrumFrame>> framesAlone;
    std::vector<std::int64_t> readAlone;
    while (read < std::int64_t(source.tones[0].size())) {
        const int n = int(std::min<std::int64_t>(clock.next(), source.tones[0].size() - read));
        framesAlone.emplace_back(std::size_t(groups));
        bool ready = true;
        for (int g = 0; g < groups; ++g) {
            alone[std::size_t(g)].pushSamples(
                source.tones[std::size_t(g)].data() + read, unsigned(n));
            if (!alone[std::size_t(g)].process(framesAlone.back()[std::size_t(g)]))
                ready = false;
        }
        read += n;
        readAlone.push_back(read);
        readyAlone.push_back(ready);
    }

    std::vector<media::AnalysisLoop::Step> steps;
    for (media::AnalysisLoop::Step s = loop.step(source); s != media::AnalysisLoop::Step::End;
         s = loop.step(source))
        steps.push_back(s);

    QCOMPARE(steps.size(), readAlone.size());
    QCOMPARE(first.taken.size(), steps.size());
    QCOMPARE(second.taken.size(), steps.size());
    QCOMPARE(loop.samplesRead(), read);
    std::int64_t readyHops = 0;
    for (std::size_t h = 0; h < steps.size(); ++h) {
        const Taken& a = first.taken[h];
        const Taken& b = second.taken[h];
        QVERIFY2(a.call == int(2 * h) && b.call == int(2 * h + 1),
            where(h, 0) + ": calls " + QByteArray::number(a.call) + ", "
                + QByteArray::number(b.call));
        QVERIFY2(a.samplesRead == readAlone[h] && b.samplesRead == readAlone[h],
            where(h, 0) + ": read " + QByteArray::number(qlonglong(a.samplesRead)) + ", expected "
                + QByteArray::number(qlonglong(readAlone[h])));
        QVERIFY2(a.ready == readyAlone[h] && b.ready == readyAlone[h], where(h, 0));
        QVERIFY2((steps[h] == media::AnalysisLoop::Step::Frame) == readyAlone[h], where(h, 0));
        readyHops += readyAlone[h] ? 1 : 0;
        for (int g = 0; g < groups; ++g) {
            QVERIFY2(sameFrame(a.frames[std::size_t(g)], framesAlone[h][std::size_t(g)])
                    && sameFrame(b.frames[std::size_t(g)], framesAlone[h][std::size_t(g)]),
                where(h, g));
        }
    }
    QVERIFY2(readyHops > 10 && readyHops < std::int64_t(steps.size()),
        QByteArray::number(qlonglong(readyHops)) + " of " + QByteArray::number(int(steps.size())));
    QCOMPARE(loop.frameCount(), readyHops);
    // The groups' tones give different frames: a group fed another's samples would show.
    for (int g = 1; g < groups; ++g)
        QVERIFY2(
            !sameFrame(framesAlone.back()[0], framesAlone.back()[std::size_t(g)]), where(0, g));
    QCOMPARE(loop.step(source), media::AnalysisLoop::Step::End);
    QCOMPARE(calls, int(2 * steps.size()));
}

QTEST_APPLESS_MAIN(tst_AnalysisLoop)
#include "tst_analysisloop.moc"
