// The analysis loop's own promises, beyond what the programs' outputs show: every group analysed
// from its own samples at the display's cadence, every consumer handed every hop in the order the
// consumers were added, and the end reached without a consumer call.

#include "media/analysisloop.h"
#include "tonehops.h"

#include <QTest>

#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr double kLengthSec = 0.6;

// Keeps the latest hop, and logs its name to the calls all consumers share.
struct Recorder : media::FrameConsumer {
    Recorder(char id, QByteArray* calls)
        : id(id)
        , calls(calls)
    {
    }
    void take(const media::AnalysedHop& taken) override
    {
        calls->append(id);
        hop.emplace(taken);
    }
    char id;
    QByteArray* calls;
    std::optional<media::AnalysedHop> hop;
};

bool sameFrame(const dsp::SpectrumFrame& a, const dsp::SpectrumFrame& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

QByteArray where(int hop, int group)
{
    return "hop " + QByteArray::number(hop) + ", group " + QByteArray::number(group);
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
    const int count = int(kLengthSec * rate) + 7;
    ToneHops source(rate, groups, count);
    media::AnalysisLoop loop(rate, groups);
    QByteArray calls;
    Recorder first('a', &calls);
    Recorder second('b', &calls);
    loop.addConsumer(first);
    loop.addConsumer(second);

    // The same tones through analysers of their own, hop by hop at the same cadence.
    std::vector<dsp::SpectrumAnalyzer> alone(static_cast<std::size_t>(groups));
    for (dsp::SpectrumAnalyzer& a : alone)
        a.configure(rate);
    std::vector<dsp::SpectrumFrame> expected(static_cast<std::size_t>(groups));
    media::HopClock clock(rate);
    int read = 0;
    int hop = 0;
    std::int64_t frames = 0;
    for (; read < count; ++hop) {
        const int n = std::min(clock.next(), count - read);
        bool ready = true;
        for (std::size_t g = 0; g < alone.size(); ++g) {
            alone[g].pushSamples(source.tones[g].data() + read, unsigned(n));
            ready = alone[g].process(expected[g]) && ready;
        }
        read += n;
        frames += ready ? 1 : 0;
        const media::AnalysisLoop::Step step = loop.step(source);
        QVERIFY2(
            step == (ready ? media::AnalysisLoop::Step::Frame : media::AnalysisLoop::Step::Warming),
            where(hop, 0) + (ready ? ": ready" : ": warming"));
        QVERIFY2(calls == "ab", where(hop, 0) + ": consumers called " + calls);
        calls.clear();
        for (const Recorder* r : { &first, &second }) {
            QVERIFY2(r->hop->samplesRead == read && r->hop->ready == ready,
                where(hop, 0) + ": consumer " + r->id + " read "
                    + QByteArray::number(qlonglong(r->hop->samplesRead)) + ", expected "
                    + QByteArray::number(read));
            for (int g = 0; g < groups; ++g)
                QVERIFY2(sameFrame(r->hop->frames[std::size_t(g)], expected[std::size_t(g)]),
                    where(hop, g));
        }
    }
    QVERIFY2(frames > 10 && frames < hop,
        QByteArray::number(qlonglong(frames)) + " of " + QByteArray::number(hop));
    QCOMPARE(loop.frameCount(), frames);
    QCOMPARE(loop.samplesRead(), std::int64_t(read));
    // The groups' tones give different frames: a group fed another's samples would show.
    for (int g = 1; g < groups; ++g)
        QVERIFY2(!sameFrame(expected[0], expected[std::size_t(g)]), where(hop, g));
    QCOMPARE(loop.step(source), media::AnalysisLoop::Step::End);
    QVERIFY2(calls.isEmpty(), "consumers called at the end: " + calls);
}

QTEST_APPLESS_MAIN(tst_AnalysisLoop)
#include "tst_analysisloop.moc"
