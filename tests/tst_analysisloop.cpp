// The analysis loop's own promises, beyond what the programs' outputs show: every group analysed
// from its own samples at the display's cadence, every consumer handed every hop in the order the
// consumers were added, and the end reached without a consumer call.

#include "media/analysisloop.h"
#include "media/feed.h"
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
    void sidesAreTheFeedsFrontPair_data();
    void sidesAreTheFeedsFrontPair();
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

namespace {

// Interleaved frames whose channel c of frame i holds 1000 * c + i.
class CountingFeed : public media::Feed {
public:
    explicit CountingFeed(int channels)
        : channels_(channels)
    {
    }
    int sampleRate() const override { return 48000; }
    int channels() const override { return channels_; }
    int read(float* mono, int count, float* out) override
    {
        for (int i = 0; i < count; ++i) {
            mono[i] = -1.0f;
            for (int c = 0; c < channels_; ++c)
                out[i * channels_ + c] = static_cast<float>(1000 * c + next_ + i);
        }
        next_ += count;
        return count;
    }

private:
    int channels_;
    int next_ = 0;
};

} // namespace

void tst_AnalysisLoop::sidesAreTheFeedsFrontPair_data()
{
    // The value of the first sample each side gets: channel c's first is 1000 * c.
    QTest::addColumn<int>("channels");
    QTest::addColumn<float>("right");
    QTest::newRow("mono: both sides") << 1 << 0.0f;
    QTest::newRow("stereo") << 2 << 1000.0f;
    QTest::newRow("5.1: front left and right") << 6 << 1000.0f;
}

void tst_AnalysisLoop::sidesAreTheFeedsFrontPair()
{
    QFETCH(int, channels);
    QFETCH(float, right);
    CountingFeed feed(channels);
    media::FeedSides sides(feed, 800);
    std::vector<float> left(800);
    std::vector<float> rightSide(800);
    float* groups[] = { left.data(), rightSide.data() };
    QCOMPARE(sides.fill(groups, 800), 800);
    QCOMPARE(sides.fill(groups, 700), 700);
    // The second hop: sample 800 of each channel on.
    QCOMPARE(left[0], 800.0f);
    QCOMPARE(rightSide[0], right + 800.0f);
    QCOMPARE(rightSide[699], right + 1499.0f);
}

QTEST_APPLESS_MAIN(tst_AnalysisLoop)
#include "tst_analysisloop.moc"
