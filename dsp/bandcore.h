/* C interface to the core, for hosts written in C or in languages that call C (Rust, Python,
 * and others through their foreign-function interfaces). Valid C99 and C++17; every name begins
 * with bandcore_ or BANDCORE_.
 *
 * Contract:
 * - An analyzer or ballistics object is an opaque handle: a create function hands one out through
 *   its out parameter, the matching destroy function releases it (destroying NULL does nothing).
 * - Results are bit for bit those of dsp::SpectrumAnalyzer and dsp::Ballistics, whose headers
 *   describe the analysis and the motion in full. In short: configure once with the sample rate,
 *   then per display frame of 1/60 s push sample_rate / 60 mono float samples (full scale +-1.0)
 *   and call process, which fills a frame once 85 ms of audio has arrived.
 * - Only the create functions and bandcore_analyzer_configure allocate. A failed allocation
 *   returns BANDCORE_ERROR_NO_MEMORY and leaves everything as it was; no C++ exception ever
 *   leaves a function of this header. Push, process and step never allocate, lock or block, so
 *   they are safe on an audio or render thread.
 * - Every function that returns an int returns a bandcore_status. A NULL handle or a NULL
 *   pointer that a function must write through gives BANDCORE_ERROR_INVALID_ARGUMENT and does
 *   nothing; the accessors answer 0 for a NULL handle.
 * - One thread at a time per handle. Handles share nothing, so different threads may each use
 *   their own.
 * - Bad samples and levels (NaN, infinities, absurd values) are absorbed as in the C++ classes. */
#ifndef DSP_BANDCORE_H
#define DSP_BANDCORE_H

#include "dsp/export.h"
#include "dsp/version.h"

#include <stdint.h>

#ifdef __cplusplus
#define BANDCORE_NOEXCEPT noexcept
extern "C" {
#else
#define BANDCORE_NOEXCEPT
#endif

/* Most bands an analyzer or ballistics object handles, and the analyzer's band count until
 * configured otherwise. */
#define BANDCORE_MAX_BANDS 32
#define BANDCORE_DEFAULT_BANDS 28

typedef enum bandcore_status {
    BANDCORE_OK = 0,
    /* bandcore_analyzer_process: fewer samples than one FFT length since the last configure;
     * the frame was not touched. */
    BANDCORE_NOT_READY = 1,
    /* A NULL handle or pointer, or a sample rate that is not a finite number above 0. */
    BANDCORE_ERROR_INVALID_ARGUMENT = -1,
    BANDCORE_ERROR_NO_MEMORY = -2
} bandcore_status;

/* One display frame. Bars and peaks lie in 0..1 for bands 0..band_count - 1; rms_db is the level
 * of the analysis window in dBFS (floor -120), agc_db the automatic gain (-6..24 dB), presence
 * 0..1 whether audio is playing, seq a number that grows by one per frame. */
typedef struct bandcore_frame {
    uint32_t seq;
    int32_t band_count;
    float bars[BANDCORE_MAX_BANDS];
    float peaks[BANDCORE_MAX_BANDS];
    float presence;
    float rms_db;
    float agc_db;
} bandcore_frame;

typedef struct bandcore_analyzer bandcore_analyzer;
typedef struct bandcore_ballistics bandcore_ballistics;

/* Analyzer: audio in, one frame per process call out. */

/* *out receives a new, unconfigured analyzer, or NULL when the allocation fails. */
BANDCORE_API int bandcore_analyzer_create(bandcore_analyzer** out) BANDCORE_NOEXCEPT;
BANDCORE_API void bandcore_analyzer_destroy(bandcore_analyzer* analyzer) BANDCORE_NOEXCEPT;
/* Sets the sample rate and the band count (clamped to 1..BANDCORE_MAX_BANDS) and picks the FFT
 * length; the pushed samples start over, the motion and seq carry on. A rate that is not a finite
 * number above 0 is refused with BANDCORE_ERROR_INVALID_ARGUMENT, and a failed allocation with
 * BANDCORE_ERROR_NO_MEMORY; either way the analyzer stays as it was. */
BANDCORE_API int bandcore_analyzer_configure(
    bandcore_analyzer* analyzer, double sample_rate, int band_count) BANDCORE_NOEXCEPT;
/* Slides count samples into the analysis window. NULL samples or a count of 0 push nothing. */
BANDCORE_API int bandcore_analyzer_push(
    bandcore_analyzer* analyzer, const float* samples, unsigned int count) BANDCORE_NOEXCEPT;
/* Advances one display frame and writes it to *frame: BANDCORE_OK, or BANDCORE_NOT_READY with
 * *frame untouched while the first window is still filling. */
BANDCORE_API int bandcore_analyzer_process(
    bandcore_analyzer* analyzer, bandcore_frame* frame) BANDCORE_NOEXCEPT;
/* The current configuration: FFT length (0 before the first accepted configure), band count and
 * sample rate. */
BANDCORE_API int bandcore_analyzer_fft_size(const bandcore_analyzer* analyzer) BANDCORE_NOEXCEPT;
BANDCORE_API int bandcore_analyzer_band_count(const bandcore_analyzer* analyzer) BANDCORE_NOEXCEPT;
BANDCORE_API double bandcore_analyzer_sample_rate(
    const bandcore_analyzer* analyzer) BANDCORE_NOEXCEPT;
/* Centre frequency of a band in Hz, for labels; 0 for a band outside 0..band_count - 1 or before
 * the first accepted configure. */
BANDCORE_API float bandcore_analyzer_band_hz(
    const bandcore_analyzer* analyzer, int band) BANDCORE_NOEXCEPT;
/* Consecutive processed frames whose whole window was exactly zero: a stalled input. */
BANDCORE_API int bandcore_analyzer_exact_zero_frames(
    const bandcore_analyzer* analyzer) BANDCORE_NOEXCEPT;

/* Ballistics alone: band levels in dB in, bars and peaks out, one display frame per step. */

/* *out receives new ballistics at rest (gain 0 dB, presence 0), or NULL when the allocation
 * fails. */
BANDCORE_API int bandcore_ballistics_create(bandcore_ballistics** out) BANDCORE_NOEXCEPT;
BANDCORE_API void bandcore_ballistics_destroy(bandcore_ballistics* ballistics) BANDCORE_NOEXCEPT;
/* Back to rest, as after create. */
BANDCORE_API int bandcore_ballistics_reset(bandcore_ballistics* ballistics) BANDCORE_NOEXCEPT;
/* Reads band_db[0..n-1] with n = count clamped to 0..BANDCORE_MAX_BANDS, writes bars[0..n-1] and
 * peaks[0..n-1]; gain and presence move even when n is 0. The three arrays may be NULL only when
 * n is 0. */
BANDCORE_API int bandcore_ballistics_step(bandcore_ballistics* ballistics, const float* band_db,
    int count, float rms_db, float* bars, float* peaks) BANDCORE_NOEXCEPT;
BANDCORE_API float bandcore_ballistics_agc_db(
    const bandcore_ballistics* ballistics) BANDCORE_NOEXCEPT;
BANDCORE_API float bandcore_ballistics_presence(
    const bandcore_ballistics* ballistics) BANDCORE_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
