/* bands: the C API from C. Reads mono 32-bit float samples (native byte order, full scale +-1.0)
 * from standard input and prints one line per display frame: its number, levels, presence and the
 * loudest band.
 *
 *   cc -std=c99 main.c $(pkg-config --cflags --libs bandcore) -o bands
 *   sox song.flac -t f32 -c 1 -r 48000 - | ./bands 48000 */
#include <dsp/bandcore.h>

#include <stdio.h>
#include <stdlib.h>

enum { kMaxHop = 192000 / 60 };

int main(int argc, char** argv)
{
    const double rate = argc > 1 ? atof(argv[1]) : 48000.0;
    static float hop[kMaxHop];
    size_t hop_length;
    bandcore_analyzer* analyzer = NULL;
    bandcore_frame frame;
    int k, loudest, status;

    if (!(rate >= 8000.0 && rate <= 192000.0)) {
        fprintf(stderr, "bands: sample rate must lie in 8000..192000 Hz\n");
        return 2;
    }
    status = bandcore_analyzer_create(&analyzer);
    if (status == BANDCORE_OK)
        status = bandcore_analyzer_configure(analyzer, rate, BANDCORE_DEFAULT_BANDS);
    if (status != BANDCORE_OK) {
        fprintf(stderr, "bands: cannot set up the analyzer (status %d)\n", status);
        bandcore_analyzer_destroy(analyzer);
        return 1;
    }
    /* One display frame of audio per process call. */
    hop_length = (size_t)(rate / 60.0);
    while (fread(hop, sizeof(float), hop_length, stdin) == hop_length) {
        bandcore_analyzer_push(analyzer, hop, (unsigned int)hop_length);
        if (bandcore_analyzer_process(analyzer, &frame) != BANDCORE_OK)
            continue;
        loudest = 0;
        for (k = 1; k < frame.band_count; ++k) {
            if (frame.bars[k] > frame.bars[loudest])
                loudest = k;
        }
        printf("frame %lu rms %.1f dB gain %+.1f dB presence %.2f loudest band %d (%.0f Hz)\n",
            (unsigned long)frame.seq, frame.rms_db, frame.agc_db, frame.presence, loudest,
            bandcore_analyzer_band_hz(analyzer, loudest));
    }
    bandcore_analyzer_destroy(analyzer);
    return 0;
}
