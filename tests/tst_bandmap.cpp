// Band table layout at the common rates, the silence floor, interpolated narrow bands, the tilt,
// and saturation of the integer conversions at absurd sample rates.

#include "describe.h"
#include "dsp/bandmap.h"
#include "dsp/exactmath.h"
#include "dsp/saturate.h"

#include <QTest>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

using dsp::BandMap;

namespace {

BandMap built(int count, int fftSize, double sampleRate)
{
    BandMap map;
    map.build(count, fftSize, sampleRate, 40.0f, 16000.0f);
    return map;
}

} // namespace

class tst_BandMap : public QObject {
    Q_OBJECT

private slots:
    void layoutAt48k_data();
    void layoutAt48k();
    void sameBinWidthGivesTheSameTable();
    void layoutAt44k1();
    void bandsTileTheBinsWithoutGaps();
    void silenceReadsTheFloorPlusTilt();
    void bandSumsAddInAscendingOrder_data();
    void bandSumsAddInAscendingOrder();
    void narrowBandInterpolatesBetweenBins();
    void bandsAboveTheTopBinReadSilence();
    void tiltReferencePoints_data();
    void tiltReferencePoints();
    void invalidArgumentsLeaveTheTableEmpty();
    void absurdSampleRatesStaySafe_data();
    void absurdSampleRatesStaySafe();
    void saturatingConversions_data();
    void saturatingConversions();
};

void tst_BandMap::layoutAt48k_data()
{
    QTest::addColumn<int>("band");
    QTest::addColumn<float>("centerHz");
    QTest::addColumn<int>("loBin");
    QTest::addColumn<int>("hiBin");
    QTest::addColumn<float>("tiltDb");
    // Reference rows for 48 kHz, 4096 points, 28 bands (bin width 11.71875 Hz), written to the
    // printed precision: centres to 0.005 Hz, tilts to 0.0005 dB.
    QTest::newRow("band 0") << 0 << 44.52f << 4 << 4 << -9.734f;
    QTest::newRow("band 3") << 3 << 84.59f << 7 << 8 << -8.173f;
    QTest::newRow("band 4") << 4 << 104.77f << 9 << 9 << -6.953f;
    QTest::newRow("band 6") << 6 << 160.73f << 13 << 15 << -3.956f;
    QTest::newRow("band 15") << 15 << 1102.77f << 85 << 104 << 0.212f;
    QTest::newRow("band 21") << 21 << 3981.72f << 306 << 378 << 2.990f;
    QTest::newRow("band 25") << 25 << 9371.16f << 719 << 889 << 4.842f;
    QTest::newRow("band 27") << 27 << 14376.55f << 1103 << 1365 << 5.768f;
}

void tst_BandMap::layoutAt48k()
{
    QFETCH(int, band);
    QFETCH(float, centerHz);
    QFETCH(int, loBin);
    QFETCH(int, hiBin);
    QFETCH(float, tiltDb);
    const BandMap map = built(28, 4096, 48000.0);
    QCOMPARE(map.minBin(), 2);
    QCOMPARE(map.maxBin(), 1536);
    QCOMPARE(static_cast<int>(map.table().size()), 28);
    const dsp::Band& b = map.table()[static_cast<std::size_t>(band)];
    QCOMPARE(b.loBin, loBin);
    QCOMPARE(b.hiBin, hiBin);
    QVERIFY2(
        std::abs(b.centerHz - centerHz) < 0.0051f, describe("centre", band, b.centerHz, centerHz));
    QVERIFY2(std::abs(b.tiltDb - tiltDb) < 0.00051f, describe("tilt", band, b.tiltDb, tiltDb));
    QVERIFY2(std::abs(b.centerBin - b.centerHz / 11.71875f) < 1e-6f * b.centerBin,
        describe("centre bin", band, b.centerBin, b.centerHz / 11.71875f));
}

void tst_BandMap::sameBinWidthGivesTheSameTable()
{
    const BandMap a = built(28, 4096, 48000.0);
    const BandMap b = built(28, 8192, 96000.0);
    QCOMPARE(b.minBin(), a.minBin());
    QCOMPARE(b.maxBin(), a.maxBin());
    for (std::size_t i = 0; i < a.table().size(); ++i) {
        const int band = static_cast<int>(i);
        QCOMPARE(b.table()[i].loBin, a.table()[i].loBin);
        QCOMPARE(b.table()[i].hiBin, a.table()[i].hiBin);
        QVERIFY2(b.table()[i].centerBin == a.table()[i].centerBin,
            describe("centre bin", band, b.table()[i].centerBin, a.table()[i].centerBin));
        QVERIFY2(b.table()[i].tiltDb == a.table()[i].tiltDb,
            describe("tilt", band, b.table()[i].tiltDb, a.table()[i].tiltDb));
    }
}

void tst_BandMap::layoutAt44k1()
{
    const BandMap map = built(28, 4096, 44100.0);
    QCOMPARE(map.maxBin(), 1671);
    QCOMPARE(map.table()[0].loBin, 4);
    QCOMPARE(map.table()[0].hiBin, 4);
    QCOMPARE(map.table()[27].loBin, 1200);
    QCOMPARE(map.table()[27].hiBin, 1486);
}

void tst_BandMap::bandsTileTheBinsWithoutGaps()
{
    // Every bin between the lowest and highest edge belongs to a band; a neighbour may share a
    // bin only when an edge falls exactly on it.
    for (double rate : { 44100.0, 48000.0, 96000.0 }) {
        const int size = rate > 48000.0 ? 8192 : 4096;
        const BandMap map = built(28, size, rate);
        for (std::size_t i = 1; i < map.table().size(); ++i) {
            const int previousHi = map.table()[i - 1].hiBin;
            const int lo = map.table()[i].loBin;
            QVERIFY2(lo == previousHi + 1 || lo == previousHi,
                describe("band start", static_cast<int>(i), lo, previousHi + 1));
        }
    }
}

void tst_BandMap::silenceReadsTheFloorPlusTilt()
{
    const BandMap map = built(28, 4096, 48000.0);
    const std::vector<float> power(2049, 0.0f);
    std::vector<float> db(28);
    map.apply(power.data(), db.data());
    for (int i = 0; i < 28; ++i) {
        const float expected = -120.0f + map.table()[static_cast<std::size_t>(i)].tiltDb;
        QVERIFY2(db[static_cast<std::size_t>(i)] == expected,
            describe("band", i, db[static_cast<std::size_t>(i)], expected));
    }
    QVERIFY2(std::abs(db[0] - -129.73f) < 0.01f, describe("band", 0, db[0], -129.73));
    QVERIFY2(std::abs(db[27] - -114.23f) < 0.01f, describe("band", 27, db[27], -114.23));
}

void tst_BandMap::bandSumsAddInAscendingOrder_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("fftSize");
    QTest::addColumn<double>("rate");
    QTest::newRow("28 bands, 4096 at 48 kHz") << 28 << 4096 << 48000.0;
    QTest::newRow("27 bands, 4096 at 44.1 kHz") << 27 << 4096 << 44100.0;
    QTest::newRow("32 bands, 8192 at 96 kHz") << 32 << 8192 << 96000.0;
}

void tst_BandMap::bandSumsAddInAscendingOrder()
{
    // Bins of very different sizes, so a sum added in any other order, or in parts, rounds
    // differently: the levels must be the plain ascending loop's to the bit, however apply()
    // interleaves the bands' sums.
    QFETCH(int, count);
    QFETCH(int, fftSize);
    QFETCH(double, rate);
    const BandMap map = built(count, fftSize, rate);
    std::vector<float> power(static_cast<std::size_t>(fftSize / 2 + 1));
    std::uint32_t state = 12345u;
    for (float& p : power) {
        state = state * 1664525u + 1013904223u;
        p = std::ldexp(static_cast<float>(state >> 8), -24 - static_cast<int>(state % 40u));
    }
    std::vector<float> db(static_cast<std::size_t>(count));
    map.apply(power.data(), db.data());
    int summed = 0;
    for (int i = 0; i < count; ++i) {
        const dsp::Band& band = map.table()[static_cast<std::size_t>(i)];
        if (band.hiBin < band.loBin)
            continue;
        float sum = 0.0f;
        for (int bin = band.loBin; bin <= band.hiBin; ++bin)
            sum += power[static_cast<std::size_t>(bin)];
        const float expected = 10.0f * dsp::exactLog10(sum + dsp::kPowerFloor) + band.tiltDb;
        QVERIFY2(db[static_cast<std::size_t>(i)] == expected,
            describe("band", i, db[static_cast<std::size_t>(i)], expected));
        ++summed;
    }
    QVERIFY(summed > count / 2);
}

void tst_BandMap::narrowBandInterpolatesBetweenBins()
{
    const BandMap map = built(32, 4096, 48000.0);
    const dsp::Band& band = map.table()[1];
    QCOMPARE(band.loBin, 5);
    QCOMPARE(band.hiBin, 4);
    QVERIFY2(
        std::abs(band.centerBin - 4.52f) < 0.005f, describe("centre bin", 1, band.centerBin, 4.52));

    std::vector<float> power(2049, 0.0f);
    power[4] = 1e-3f;
    power[5] = 3e-3f;
    std::vector<float> db(32);
    map.apply(power.data(), db.data());
    const float frac = band.centerBin - 4.0f;
    const float expected
        = 10.0f * dsp::exactLog10((1.0f - frac) * power[4] + frac * power[5] + 1e-12f)
        + band.tiltDb;
    QVERIFY2(db[1] == expected, describe("band", 1, db[1], expected));

    // No band of the usual 28 at 48 kHz is narrower than a bin.
    const BandMap usual = built(28, 4096, 48000.0);
    for (std::size_t i = 0; i < usual.table().size(); ++i)
        QVERIFY2(usual.table()[i].hiBin >= usual.table()[i].loBin,
            describe("hiBin", static_cast<int>(i), usual.table()[i].hiBin, usual.table()[i].loBin));
}

void tst_BandMap::bandsAboveTheTopBinReadSilence()
{
    // 8 kHz: 1024 points, top bin 512 at 4 kHz. Bands above it read the floor however loud the
    // spectrum is; bands below do not.
    const BandMap map = built(28, 1024, 8000.0);
    QCOMPARE(map.maxBin(), 512);
    const std::vector<float> power(513, 1.0f);
    std::vector<float> db(28);
    map.apply(power.data(), db.data());
    int silent = 0;
    for (int i = 0; i < 28; ++i) {
        const dsp::Band& band = map.table()[static_cast<std::size_t>(i)];
        if (band.centerBin > 513.0f) {
            ++silent;
            QVERIFY2(db[static_cast<std::size_t>(i)] == -120.0f + band.tiltDb,
                describe("band", i, db[static_cast<std::size_t>(i)], -120.0f + band.tiltDb));
        } else if (band.centerHz < 3500.0f) {
            QVERIFY2(db[static_cast<std::size_t>(i)] > -10.0f,
                describe("band", i, db[static_cast<std::size_t>(i)], 0.0));
        }
    }
    QVERIFY2(silent >= 3, describe("silent bands", silent, silent, 3));
}

void tst_BandMap::tiltReferencePoints_data()
{
    QTest::addColumn<float>("centerHz");
    QTest::addColumn<float>("tiltDb");
    QTest::newRow("1 kHz") << 1000.0f << 0.0f;
    QTest::newRow("2 kHz") << 2000.0f << 1.5f;
    QTest::newRow("80 Hz") << 80.0f << std::log2(0.08f) * 1.5f - 3.0f;
    QTest::newRow("120 Hz") << 120.0f << std::log2(0.12f) * 1.5f - 1.5f;
    QTest::newRow("160 Hz") << 160.0f << std::log2(0.16f) * 1.5f;
    QTest::newRow("50 Hz") << 50.0f << std::log2(0.05f) * 1.5f - 3.0f;
}

void tst_BandMap::tiltReferencePoints()
{
    QFETCH(float, centerHz);
    QFETCH(float, tiltDb);
    // A single band from f to f has its centre at exactly f.
    BandMap map;
    map.build(1, 4096, 48000.0, centerHz, centerHz);
    QCOMPARE(map.table()[0].centerHz, centerHz);
    QVERIFY2(std::abs(map.table()[0].tiltDb - tiltDb) < 1e-5f,
        describe("tilt", 0, map.table()[0].tiltDb, tiltDb));
}

void tst_BandMap::invalidArgumentsLeaveTheTableEmpty()
{
    BandMap map = built(28, 4096, 48000.0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct {
        int count;
        int size;
        double rate;
    } cases[] = { { 0, 4096, 48000.0 }, { -3, 4096, 48000.0 }, { 28, 0, 48000.0 },
        { 28, 4096, 0.0 }, { 28, 4096, -1.0 }, { 28, 4096, nan } };
    for (const auto& c : cases) {
        map.build(c.count, c.size, c.rate, 40.0f, 16000.0f);
        QVERIFY(map.empty());
        QCOMPARE(map.minBin(), 2);
        QCOMPARE(map.maxBin(), 1536);
    }
}

void tst_BandMap::absurdSampleRatesStaySafe_data()
{
    QTest::addColumn<double>("rate");
    QTest::newRow("1e-300 Hz (bin width underflows)") << 1e-300;
    QTest::newRow("1e-40 Hz") << 1e-40;
    QTest::newRow("1 Hz") << 1.0;
    QTest::newRow("1e300 Hz (bin width overflows)") << 1e300;
    QTest::newRow("max double") << std::numeric_limits<double>::max();
}

void tst_BandMap::absurdSampleRatesStaySafe()
{
    QFETCH(double, rate);
    // Under the sanitizer build an unsaturated conversion here is a hard failure; in any build
    // the bins stay within the spectrum and every band reads a finite level.
    const int size = 1024;
    const BandMap map = built(28, size, rate);
    QVERIFY(!map.empty());
    QVERIFY(map.minBin() >= 1);
    QVERIFY(map.maxBin() <= size / 2);
    std::vector<float> power(size / 2 + 1, 1.0f);
    std::vector<float> db(28);
    map.apply(power.data(), db.data());
    for (int i = 0; i < 28; ++i) {
        const dsp::Band& band = map.table()[static_cast<std::size_t>(i)];
        if (band.hiBin >= band.loBin) {
            QVERIFY2(band.loBin >= map.minBin() && band.hiBin <= map.maxBin(),
                describe("bins", i, band.loBin, band.hiBin));
        }
        QVERIFY2(!std::isnan(db[static_cast<std::size_t>(i)]),
            describe("band", i, db[static_cast<std::size_t>(i)], 0.0));
    }
}

void tst_BandMap::saturatingConversions_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<int>("expected");
    const int max = std::numeric_limits<int>::max();
    const int min = std::numeric_limits<int>::min();
    QTest::newRow("NaN") << std::numeric_limits<float>::quiet_NaN() << 0;
    QTest::newRow("+inf") << std::numeric_limits<float>::infinity() << max;
    QTest::newRow("-inf") << -std::numeric_limits<float>::infinity() << min;
    QTest::newRow("2^31") << 2147483648.0f << max;
    QTest::newRow("largest float below 2^31") << 2147483520.0f << 2147483520;
    QTest::newRow("-2^31") << -2147483648.0f << min;
    QTest::newRow("-3e9") << -3e9f << min;
    QTest::newRow("4.52 truncates") << 4.52f << 4;
    QTest::newRow("-4.52 truncates toward zero") << -4.52f << -4;
}

void tst_BandMap::saturatingConversions()
{
    QFETCH(float, value);
    QFETCH(int, expected);
    QCOMPARE(dsp::saturatingInt(value), expected);
    QCOMPARE(dsp::saturatingIncrement(std::numeric_limits<std::int32_t>::max()),
        std::numeric_limits<std::int32_t>::max());
    QCOMPARE(dsp::saturatingIncrement(std::numeric_limits<std::int32_t>::max() - 1),
        std::numeric_limits<std::int32_t>::max());
}

QTEST_APPLESS_MAIN(tst_BandMap)
#include "tst_bandmap.moc"
