// The capture ring between two threads: every sample arrives once and in order across wraps, and
// a full ring drops and counts what does not fit instead of overwriting, whole frames of every
// channel at a time.

#include "capture/samplering.h"

#include <QTest>

#include <random>
#include <thread>
#include <vector>

class tst_CaptureRing : public QObject {
    Q_OBJECT

private slots:
    void twoThreadsPassEverySampleInOrder();
    void fullRingDropsAndCounts_data();
    void fullRingDropsAndCounts();
};

void tst_CaptureRing::twoThreadsPassEverySampleInOrder()
{
    // Sample values count up; a float holds every integer below 2^24 exactly.
    constexpr int kSamples = 1 << 20;
    // Small, so that both indices wrap thousands of times and the ring is often full or empty.
    capture::SampleRing ring(64);
    std::uint64_t turnedAway = 0;
    std::thread producer([&ring, &turnedAway] {
        std::mt19937 random(1);
        std::vector<float> chunk(100);
        int next = 0;
        while (next < kSamples) {
            const int n = std::min<int>(random() % 100 + 1, kSamples - next);
            for (int i = 0; i < n; ++i)
                chunk[i] = static_cast<float>(next + i);
            // Whatever does not fit is counted as dropped, and offered again so that the reader
            // still sees every sample.
            int stored = 0;
            while (stored < n) {
                const int now = ring.write(chunk.data() + stored, n - stored);
                turnedAway += n - stored - now;
                stored += now;
            }
            next += n;
        }
    });
    std::mt19937 random(2);
    std::vector<float> chunk(100);
    int expected = 0;
    int firstWrong = -1;
    float wrongValue = 0.0f;
    while (expected < kSamples) {
        const int n = ring.read(chunk.data(), static_cast<int>(random() % 100 + 1));
        for (int i = 0; i < n && firstWrong < 0; ++i) {
            if (chunk[i] != static_cast<float>(expected + i)) {
                firstWrong = expected + i;
                wrongValue = chunk[i];
            }
        }
        expected += n;
        if (firstWrong >= 0)
            break;
    }
    producer.join();
    QVERIFY2(firstWrong < 0,
        qPrintable(QStringLiteral("sample %1 read as %2").arg(firstWrong).arg(wrongValue)));
    QCOMPARE(ring.available(), 0);
    QCOMPARE(ring.dropped(), turnedAway);
    QCOMPARE(ring.written(), std::uint64_t(kSamples));
}

void tst_CaptureRing::fullRingDropsAndCounts_data()
{
    QTest::addColumn<int>("channels");
    QTest::newRow("mono") << 1;
    QTest::newRow("stereo") << 2;
}

// Frame k of a test stream: channel c holds 100 * c + k, so a frame torn apart or shifted by a
// sample shows.
static std::vector<float> framesOf(const std::vector<int>& numbers, int channels)
{
    std::vector<float> out;
    for (int k : numbers)
        for (int c = 0; c < channels; ++c)
            out.push_back(static_cast<float>(100 * c + k));
    return out;
}

void tst_CaptureRing::fullRingDropsAndCounts()
{
    QFETCH(int, channels);
    capture::SampleRing ring(5, channels);
    QCOMPARE(ring.capacity(), 8);
    QCOMPARE(ring.channels(), channels);
    QCOMPARE(ring.write(framesOf({ 0, 1, 2, 3, 4, 5, 6, 7, 8, 9 }, channels).data(), 10), 8);
    QCOMPARE(ring.dropped(), std::uint64_t(2));
    // The oldest frames stay: a full ring keeps what the reader has not taken yet.
    std::vector<float> out(8 * channels);
    QCOMPARE(ring.read(out.data(), 3), 3);
    QCOMPARE(out[2 * channels], framesOf({ 2 }, channels)[0]);
    QCOMPARE(ring.write(framesOf({ 10, 11, 12, 13 }, channels).data(), 4), 3);
    QCOMPARE(ring.dropped(), std::uint64_t(3));
    // Across the wrap.
    QCOMPARE(ring.read(out.data(), 8), 8);
    const std::vector<float> expected = framesOf({ 3, 4, 5, 6, 7, 10, 11, 12 }, channels);
    for (int i = 0; i < 8 * channels; ++i)
        QVERIFY2(out[i] == expected[i],
            qPrintable(QStringLiteral("sample %1: got %2, expected %3")
                           .arg(i)
                           .arg(out[i])
                           .arg(expected[i])));
}

QTEST_APPLESS_MAIN(tst_CaptureRing)
#include "tst_capturering.moc"
