/* The C interface from C: this file is compiled as strict C99 (-std=c99 -pedantic -Werror), which
 * proves the header is C, and run on a 1 kHz sine at 48 kHz: no frame until the window is full,
 * then the loudest bar in the band around 1 kHz. Prints one line per failed check. */
#include "dsp/bandcore.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

enum { kRateHz = 48000, kHop = kRateHz / 60, kHops = 60 };

static int failures = 0;

static void check(int ok, const char* what, double got)
{
    if (!ok) {
        printf("capi_c99: %s (got %.9g)\n", what, got);
        ++failures;
    }
}

int main(void)
{
    bandcore_analyzer* analyzer = NULL;
    bandcore_frame frame;
    float hop[kHop];
    int i, k, status, loudest = 0, nearest = 0, frames = 0;
    unsigned long t = 0;

    check(bandcore_version() == BANDCORE_VERSION, "library and header versions differ",
        bandcore_version());
    check(strcmp(bandcore_version_string(), BANDCORE_VERSION_STRING) == 0,
        "library and header version strings differ", 0);
    check(bandcore_analyzer_create(&analyzer) == BANDCORE_OK, "create failed", 0);
    check(bandcore_analyzer_configure(analyzer, kRateHz, BANDCORE_DEFAULT_BANDS) == BANDCORE_OK,
        "configure failed", 0);
    memset(&frame, 0, sizeof frame);
    for (i = 0; i < kHops; ++i) {
        for (k = 0; k < kHop; ++k, ++t)
            hop[k] = (float)(0.5 * sin(6.283185307179586 * 1000.0 * (double)t / kRateHz));
        check(bandcore_analyzer_push(analyzer, hop, kHop) == BANDCORE_OK, "push failed", i);
        status = bandcore_analyzer_process(analyzer, &frame);
        /* The 4096-sample window at 48 kHz is full after the sixth hop of 800. */
        check(status == (i < 5 ? BANDCORE_NOT_READY : BANDCORE_OK), "process status", status);
        frames += status == BANDCORE_OK;
    }
    check(frames == kHops - 5 && frame.seq == (uint32_t)frames, "frame count", frame.seq);
    check(frame.band_count == BANDCORE_DEFAULT_BANDS, "band count", frame.band_count);
    for (k = 1; k < frame.band_count; ++k) {
        if (frame.bars[k] > frame.bars[loudest])
            loudest = k;
    }
    /* The tone's band is the one whose centre lies nearest 1 kHz on the log scale. */
    for (k = 1; k < frame.band_count; ++k) {
        if (fabs(log(bandcore_analyzer_band_hz(analyzer, k) / 1000.0))
            < fabs(log(bandcore_analyzer_band_hz(analyzer, nearest) / 1000.0)))
            nearest = k;
    }
    check(loudest == nearest, "loudest band's centre (Hz)",
        bandcore_analyzer_band_hz(analyzer, loudest));
    check(frame.presence == 1.0f, "presence", frame.presence);
    bandcore_analyzer_destroy(analyzer);
    return failures != 0;
}
