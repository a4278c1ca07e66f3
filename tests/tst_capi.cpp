// The C interface against the C++ classes it wraps: the same bits frame by frame, the return
// codes of every refusal, and allocation failures reported as codes with nothing changed.

#include "describe.h"
#include "dsp/bandcore.h"
#include "dsp/spectrumanalyzer.h"
#include "heapcounter.h"

#include <QTest>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A 1 kHz tone over seeded noise, so that every band and the gain have something to do.
std::vector<float> signal(double rate, unsigned count)
{
    std::vector<float> samples(count);
    std::uint32_t state = 12345u;
    for (unsigned i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
        samples[i] = static_cast<float>(
            0.3 * std::sin(6.283185307179586 * 1000.0 * i / rate) + 0.05 * noise);
    }
    return samples;
}

bool sameBits(float a, float b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Index of the first difference between the frames, or -1; bands are indices 0..31, the scalar
// fields 100 and up.
int firstDifference(const dsp::SpectrumFrame& cpp, const bandcore_frame& c)
{
    if (c.seq != cpp.seq)
        return 100;
    if (c.band_count != cpp.bandCount)
        return 101;
    for (int k = 0; k < cpp.bandCount; ++k) {
        if (!sameBits(c.bars[k], cpp.bars[k]) || !sameBits(c.peaks[k], cpp.peaks[k]))
            return k;
    }
    if (!sameBits(c.presence, cpp.presence))
        return 102;
    if (!sameBits(c.rms_db, cpp.rmsDb))
        return 103;
    if (!sameBits(c.agc_db, cpp.agcDb))
        return 104;
    return -1;
}

} // namespace

class tst_CApi : public QObject {
    Q_OBJECT

private slots:
    void analyzerGivesTheSameFrames_data();
    void analyzerGivesTheSameFrames();
    void ballisticsGiveTheSameMotion();
    void refusalsReturnCodesAndChangeNothing();
    void failedAllocationsReturnACode();
    void versionIsTheProjects();
};

void tst_CApi::analyzerGivesTheSameFrames_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("bands");
    QTest::newRow("48 kHz, default bands") << 48000.0 << BANDCORE_DEFAULT_BANDS;
    QTest::newRow("44.1 kHz, 32 bands") << 44100.0 << 32;
    QTest::newRow("96 kHz, 7 bands") << 96000.0 << 7;
}

void tst_CApi::analyzerGivesTheSameFrames()
{
    QFETCH(double, rate);
    QFETCH(int, bands);
    dsp::SpectrumAnalyzer cpp;
    cpp.configure(rate, bands);
    bandcore_analyzer* c = nullptr;
    QCOMPARE(bandcore_analyzer_create(&c), int(BANDCORE_OK));
    QCOMPARE(bandcore_analyzer_configure(c, rate, bands), int(BANDCORE_OK));
    QCOMPARE(bandcore_analyzer_fft_size(c), cpp.fftSize());
    QCOMPARE(bandcore_analyzer_band_count(c), bands);
    QCOMPARE(bandcore_analyzer_sample_rate(c), rate);
    for (int k = 0; k < bands; ++k)
        QCOMPARE(bandcore_analyzer_band_hz(c, k), cpp.bands().table()[k].centerHz);
    QCOMPARE(bandcore_analyzer_band_hz(c, bands), 0.0f);
    QCOMPARE(bandcore_analyzer_band_hz(c, -1), 0.0f);

    const unsigned hop = static_cast<unsigned>(rate / 60.0);
    const std::vector<float> samples = signal(rate, hop * 120);
    dsp::SpectrumFrame expected;
    bandcore_frame got = {};
    int frames = 0;
    for (unsigned at = 0; at < samples.size(); at += hop) {
        cpp.pushSamples(samples.data() + at, hop);
        QCOMPARE(bandcore_analyzer_push(c, samples.data() + at, hop), int(BANDCORE_OK));
        const bool produced = cpp.process(expected);
        const bandcore_frame before = got;
        const int status = bandcore_analyzer_process(c, &got);
        if (!produced) {
            QCOMPARE(status, int(BANDCORE_NOT_READY));
            QVERIFY(std::memcmp(&before, &got, sizeof got) == 0);
            continue;
        }
        QCOMPARE(status, int(BANDCORE_OK));
        ++frames;
        const int diff = firstDifference(expected, got);
        QVERIFY2(diff < 0, describe("frame field", diff, frames, 0).constData());
    }
    QVERIFY2(frames > 90, describe("frames", 0, frames, 90).constData());
    bandcore_analyzer_destroy(c);
}

void tst_CApi::ballisticsGiveTheSameMotion()
{
    dsp::Ballistics cpp;
    bandcore_ballistics* c = nullptr;
    QCOMPARE(bandcore_ballistics_create(&c), int(BANDCORE_OK));
    float row[BANDCORE_MAX_BANDS];
    float bars[2][BANDCORE_MAX_BANDS] = {};
    float peaks[2][BANDCORE_MAX_BANDS] = {};
    for (int frame = 0; frame < 240; ++frame) {
        if (frame == 150) {
            cpp.reset();
            QCOMPARE(bandcore_ballistics_reset(c), int(BANDCORE_OK));
        }
        for (int k = 0; k < BANDCORE_MAX_BANDS; ++k)
            row[k] = -60.0f + static_cast<float>((frame * 7 + k * 13) % 50);
        const float rmsDb = frame % 80 < 50 ? -20.0f : -90.0f;
        cpp.step(row, 24, rmsDb, bars[0], peaks[0]);
        QCOMPARE(bandcore_ballistics_step(c, row, 24, rmsDb, bars[1], peaks[1]), int(BANDCORE_OK));
        for (int k = 0; k < 24; ++k) {
            QVERIFY2(sameBits(bars[1][k], bars[0][k]) && sameBits(peaks[1][k], peaks[0][k]),
                describe("bar or peak at band", k, bars[1][k], bars[0][k]).constData());
        }
        QVERIFY2(sameBits(bandcore_ballistics_agc_db(c), cpp.agcDb()),
            describe("gain", frame, bandcore_ballistics_agc_db(c), cpp.agcDb()).constData());
        QVERIFY2(sameBits(bandcore_ballistics_presence(c), cpp.presence()),
            describe("presence", frame, bandcore_ballistics_presence(c), cpp.presence())
                .constData());
    }
    bandcore_ballistics_destroy(c);
}

void tst_CApi::refusalsReturnCodesAndChangeNothing()
{
    const int invalid = BANDCORE_ERROR_INVALID_ARGUMENT;
    QCOMPARE(bandcore_analyzer_create(nullptr), invalid);
    QCOMPARE(bandcore_ballistics_create(nullptr), invalid);
    bandcore_frame frame = {};
    float levels[4] = { -20.0f, -20.0f, -20.0f, -20.0f };
    float out[4];
    QCOMPARE(bandcore_analyzer_configure(nullptr, 48000.0, 28), invalid);
    QCOMPARE(bandcore_analyzer_push(nullptr, levels, 4), invalid);
    QCOMPARE(bandcore_analyzer_process(nullptr, &frame), invalid);
    QCOMPARE(bandcore_ballistics_reset(nullptr), invalid);
    QCOMPARE(bandcore_ballistics_step(nullptr, levels, 4, -20.0f, out, out), invalid);
    QCOMPARE(bandcore_analyzer_fft_size(nullptr), 0);
    QCOMPARE(bandcore_analyzer_band_count(nullptr), 0);
    QCOMPARE(bandcore_analyzer_sample_rate(nullptr), 0.0);
    QCOMPARE(bandcore_analyzer_band_hz(nullptr, 0), 0.0f);
    QCOMPARE(bandcore_analyzer_exact_zero_frames(nullptr), 0);
    QCOMPARE(bandcore_ballistics_agc_db(nullptr), 0.0f);
    QCOMPARE(bandcore_ballistics_presence(nullptr), 0.0f);
    bandcore_analyzer_destroy(nullptr);
    bandcore_ballistics_destroy(nullptr);

    bandcore_analyzer* a = nullptr;
    QCOMPARE(bandcore_analyzer_create(&a), int(BANDCORE_OK));
    QCOMPARE(bandcore_analyzer_band_hz(a, 0), 0.0f); // no band table before configure
    QCOMPARE(bandcore_analyzer_configure(a, 44100.0, 12), int(BANDCORE_OK));
    for (double rate : { 0.0, -48000.0, std::nan(""), HUGE_VAL }) {
        QCOMPARE(bandcore_analyzer_configure(a, rate, 20), invalid);
        QCOMPARE(bandcore_analyzer_sample_rate(a), 44100.0);
        QCOMPARE(bandcore_analyzer_band_count(a), 12);
    }
    QCOMPARE(bandcore_analyzer_process(a, nullptr), invalid);
    bandcore_analyzer_destroy(a);

    // Null arrays are refused only when there are bands to read or write.
    bandcore_ballistics* b = nullptr;
    QCOMPARE(bandcore_ballistics_create(&b), int(BANDCORE_OK));
    QCOMPARE(bandcore_ballistics_step(b, nullptr, 4, -20.0f, out, out), invalid);
    QCOMPARE(bandcore_ballistics_step(b, levels, 4, -20.0f, nullptr, out), invalid);
    QCOMPARE(bandcore_ballistics_step(b, levels, 4, -20.0f, out, nullptr), invalid);
    QCOMPARE(bandcore_ballistics_presence(b), 0.0f);
    QCOMPARE(bandcore_ballistics_step(b, nullptr, 0, -20.0f, nullptr, nullptr), int(BANDCORE_OK));
    QVERIFY(bandcore_ballistics_presence(b) > 0.0f);
    bandcore_ballistics_destroy(b);
}

void tst_CApi::failedAllocationsReturnACode()
{
    // Stale pointers, which a failed create must overwrite with NULL.
    bandcore_analyzer* a = reinterpret_cast<bandcore_analyzer*>(&a);
    heapcounter::failAllocation(1);
    const int created = bandcore_analyzer_create(&a);
    heapcounter::failAllocation(0);
    QCOMPARE(created, int(BANDCORE_ERROR_NO_MEMORY));
    QVERIFY(a == nullptr);

    bandcore_ballistics* b = reinterpret_cast<bandcore_ballistics*>(&b);
    heapcounter::failAllocation(1);
    const int createdBallistics = bandcore_ballistics_create(&b);
    heapcounter::failAllocation(0);
    QCOMPARE(createdBallistics, int(BANDCORE_ERROR_NO_MEMORY));
    QVERIFY(b == nullptr);

    // Every allocation of a reconfiguration fails in turn, until one attempt makes none fail.
    QCOMPARE(bandcore_analyzer_create(&a), int(BANDCORE_OK));
    QCOMPARE(bandcore_analyzer_configure(a, 48000.0, 28), int(BANDCORE_OK));
    int failures = 0;
    for (long n = 1;; ++n) {
        heapcounter::failAllocation(n);
        const int status = bandcore_analyzer_configure(a, 96000.0, 20);
        heapcounter::failAllocation(0);
        if (status == BANDCORE_OK)
            break;
        ++failures;
        QCOMPARE(status, int(BANDCORE_ERROR_NO_MEMORY));
        QCOMPARE(bandcore_analyzer_fft_size(a), 4096);
        QCOMPARE(bandcore_analyzer_band_count(a), 28);
    }
    QVERIFY2(failures > 0, describe("failed configures", 0, failures, 1).constData());
    QCOMPARE(bandcore_analyzer_fft_size(a), 8192);
    bandcore_analyzer_destroy(a);
}

void tst_CApi::versionIsTheProjects()
{
    QCOMPARE(QByteArray(bandcore_version_string()), QByteArray(BANDCORE_PROJECT_VERSION));
    QCOMPARE(QByteArray(BANDCORE_VERSION_STRING), QByteArray(BANDCORE_PROJECT_VERSION));
    QCOMPARE(bandcore_version(),
        BANDCORE_VERSION_MAJOR * 10000 + BANDCORE_VERSION_MINOR * 100 + BANDCORE_VERSION_PATCH);
    QCOMPARE(bandcore_version(), BANDCORE_VERSION);
}

QTEST_APPLESS_MAIN(tst_CApi)
#include "tst_capi.moc"
