#include "dsp/bandcore.h"

#include "dsp/ballistics.h"
#include "dsp/spectrumanalyzer.h"

#include <cmath>
#include <new>

static_assert(BANDCORE_MAX_BANDS == dsp::kMaxBands, "the C frame holds every band");
static_assert(BANDCORE_DEFAULT_BANDS == dsp::kDefaultBands, "the C default is the C++ one");

struct bandcore_analyzer {
    dsp::SpectrumAnalyzer impl;
};

struct bandcore_ballistics {
    dsp::Ballistics impl;
};

namespace {

// Creation through plain new, caught here: a failed allocation becomes a return code on every
// allocator, whether or not it honours the nothrow form.
template <typename Handle> int create(Handle** out) noexcept
{
    if (!out)
        return BANDCORE_ERROR_INVALID_ARGUMENT;
    *out = nullptr;
    try {
        *out = new Handle();
    } catch (const std::bad_alloc&) {
        return BANDCORE_ERROR_NO_MEMORY;
    }
    return BANDCORE_OK;
}

} // namespace

int bandcore_analyzer_create(bandcore_analyzer** out) noexcept
{
    return create(out);
}

void bandcore_analyzer_destroy(bandcore_analyzer* analyzer) noexcept
{
    delete analyzer;
}

int bandcore_analyzer_configure(
    bandcore_analyzer* analyzer, double sample_rate, int band_count) noexcept
{
    if (!analyzer || !(sample_rate > 0.0) || !std::isfinite(sample_rate))
        return BANDCORE_ERROR_INVALID_ARGUMENT;
    // configure() gives the strong guarantee, so a failure leaves the analyzer as it was.
    try {
        analyzer->impl.configure(sample_rate, band_count);
    } catch (const std::bad_alloc&) {
        return BANDCORE_ERROR_NO_MEMORY;
    }
    return BANDCORE_OK;
}

int bandcore_analyzer_push(
    bandcore_analyzer* analyzer, const float* samples, unsigned int count) noexcept
{
    if (!analyzer)
        return BANDCORE_ERROR_INVALID_ARGUMENT;
    analyzer->impl.pushSamples(samples, count);
    return BANDCORE_OK;
}

int bandcore_analyzer_process(bandcore_analyzer* analyzer, bandcore_frame* frame) noexcept
{
    if (!analyzer || !frame)
        return BANDCORE_ERROR_INVALID_ARGUMENT;
    dsp::SpectrumFrame out;
    if (!analyzer->impl.process(out))
        return BANDCORE_NOT_READY;
    frame->seq = out.seq;
    frame->band_count = out.bandCount;
    for (int k = 0; k < BANDCORE_MAX_BANDS; ++k) {
        frame->bars[k] = out.bars[k];
        frame->peaks[k] = out.peaks[k];
    }
    frame->presence = out.presence;
    frame->rms_db = out.rmsDb;
    frame->agc_db = out.agcDb;
    return BANDCORE_OK;
}

int bandcore_analyzer_fft_size(const bandcore_analyzer* analyzer) noexcept
{
    return analyzer ? analyzer->impl.fftSize() : 0;
}

int bandcore_analyzer_band_count(const bandcore_analyzer* analyzer) noexcept
{
    return analyzer ? analyzer->impl.bandCount() : 0;
}

double bandcore_analyzer_sample_rate(const bandcore_analyzer* analyzer) noexcept
{
    return analyzer ? analyzer->impl.sampleRate() : 0.0;
}

float bandcore_analyzer_band_hz(const bandcore_analyzer* analyzer, int band) noexcept
{
    if (!analyzer || band < 0)
        return 0.0f;
    const auto& table = analyzer->impl.bands().table();
    return static_cast<unsigned>(band) < table.size() ? table[band].centerHz : 0.0f;
}

int bandcore_analyzer_exact_zero_frames(const bandcore_analyzer* analyzer) noexcept
{
    return analyzer ? analyzer->impl.exactZeroFrames() : 0;
}

int bandcore_ballistics_create(bandcore_ballistics** out) noexcept
{
    return create(out);
}

void bandcore_ballistics_destroy(bandcore_ballistics* ballistics) noexcept
{
    delete ballistics;
}

int bandcore_ballistics_reset(bandcore_ballistics* ballistics) noexcept
{
    if (!ballistics)
        return BANDCORE_ERROR_INVALID_ARGUMENT;
    ballistics->impl.reset();
    return BANDCORE_OK;
}

int bandcore_ballistics_step(bandcore_ballistics* ballistics, const float* band_db, int count,
    float rms_db, float* bars, float* peaks) noexcept
{
    if (!ballistics || (count > 0 && (!band_db || !bars || !peaks)))
        return BANDCORE_ERROR_INVALID_ARGUMENT;
    ballistics->impl.step(band_db, count, rms_db, bars, peaks);
    return BANDCORE_OK;
}

float bandcore_ballistics_agc_db(const bandcore_ballistics* ballistics) noexcept
{
    return ballistics ? ballistics->impl.agcDb() : 0.0f;
}

float bandcore_ballistics_presence(const bandcore_ballistics* ballistics) noexcept
{
    return ballistics ? ballistics->impl.presence() : 0.0f;
}
