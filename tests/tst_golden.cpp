// The golden hashes (golden.h) on every path of the core that this build and machine can run:
// each row forces one path through the test hook, so the portable loops, SSE2 and AVX2 all meet
// the same bits on one x86-64 machine. A path that is missing here shows as a skipped row.

#include "dsp/simd.h"
#include "golden.h"

#include <QTest>

Q_DECLARE_METATYPE(dsp::simd::Path)

namespace {

QByteArray hex(std::uint64_t value)
{
    return "0x" + QByteArray::number(static_cast<qulonglong>(value), 16).rightJustified(16, '0');
}

// Forces the row's path, or skips the row when this build or CPU lacks it.
#define FORCE_PATH_OR_SKIP(path)                                                                   \
    do {                                                                                           \
        if (!dsp::simd::forcePath(path))                                                           \
            QSKIP("this build or CPU has no such path");                                           \
    } while (false)

} // namespace

class tst_Golden : public QObject {
    Q_OBJECT

private slots:
    void cleanup();
    void forcingAMissingPathChangesNothing();
    void powerSpectrumBits_data();
    void powerSpectrumBits();
    void analyzerFrameBits_data();
    void analyzerFrameBits();
};

void tst_Golden::cleanup()
{
    dsp::simd::forcePath(dsp::simd::best());
}

void tst_Golden::forcingAMissingPathChangesNothing()
{
    // Forcing a path the CPU lacks would end in an illegal instruction, not a wrong hash.
#if defined(__aarch64__)
    const dsp::simd::Path missing = dsp::simd::Path::Avx2;
#else
    const dsp::simd::Path missing = dsp::simd::Path::Neon;
#endif
    QVERIFY(dsp::simd::forcePath(dsp::simd::Path::Scalar));
    QVERIFY(!dsp::simd::available(missing));
    QVERIFY(!dsp::simd::forcePath(missing));
    QVERIFY(dsp::simd::active() == dsp::simd::Path::Scalar);
    QVERIFY(dsp::simd::available(dsp::simd::best()));
}

void tst_Golden::powerSpectrumBits_data()
{
    QTest::addColumn<dsp::simd::Path>("path");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("spoiled");
    QTest::addColumn<quint64>("expected");
    for (const dsp::simd::Path path : golden::kPaths) {
        for (const golden::SpectrumCase& c : golden::kSpectrumCases) {
            QTest::addRow("%s %s", c.name, dsp::simd::name(path))
                << path << c.size << c.spoiled << quint64(c.expected);
        }
    }
}

void tst_Golden::powerSpectrumBits()
{
    QFETCH(dsp::simd::Path, path);
    QFETCH(int, size);
    QFETCH(bool, spoiled);
    QFETCH(quint64, expected);
    FORCE_PATH_OR_SKIP(path);

    const std::uint64_t hash = golden::spectrumHash(size, spoiled);
    QVERIFY2(hash == expected,
        "size " + QByteArray::number(size) + " on " + dsp::simd::name(path) + ": hash " + hex(hash)
            + ", expected " + hex(expected));
}

void tst_Golden::analyzerFrameBits_data()
{
    QTest::addColumn<dsp::simd::Path>("path");
    QTest::addColumn<int>("index");
    for (const dsp::simd::Path path : golden::kPaths) {
        int index = 0;
        for (const golden::FrameCase& c : golden::kFrameCases)
            QTest::addRow("%s %s", c.name, dsp::simd::name(path)) << path << index++;
    }
}

void tst_Golden::analyzerFrameBits()
{
    QFETCH(dsp::simd::Path, path);
    QFETCH(int, index);
    FORCE_PATH_OR_SKIP(path);

    const golden::FrameCase& c = golden::kFrameCases[index];
    int frames = 0;
    const std::vector<std::uint64_t> checkpoints = golden::frameHashes(c.rate, c.spoiled, frames);
    QVERIFY2(frames > golden::kHops - 8, QByteArray::number(frames));

    QCOMPARE(checkpoints.size(), std::size_t(golden::kCheckpoints));
    for (std::size_t i = 0; i < checkpoints.size(); ++i) {
        QVERIFY2(checkpoints[i] == c.expected[i],
            QByteArray("on ") + dsp::simd::name(path) + ", first difference by hop "
                + QByteArray::number(static_cast<qulonglong>((i + 1) * golden::kCheckpointEvery))
                + ": hash " + hex(checkpoints[i]) + ", expected " + hex(c.expected[i]));
    }
}

QTEST_APPLESS_MAIN(tst_Golden)
#include "tst_golden.moc"
