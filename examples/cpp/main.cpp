// bands: reads mono 32-bit float samples (native byte order, full scale +-1.0) from standard
// input and prints one line per display frame: its number, levels, presence and the loudest band.
//
//   sox song.flac -t f32 -c 1 -r 48000 - | bands 48000
#include "dsp/spectrumanalyzer.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv)
{
    const double rate = argc > 1 ? std::atof(argv[1]) : 48000.0;
    if (!(rate >= 8000.0 && rate <= 192000.0)) {
        std::fprintf(stderr, "bands: sample rate must lie in 8000..192000 Hz\n");
        return 2;
    }
    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(rate);
    // One display frame of audio per process() call.
    std::vector<float> hop(static_cast<std::size_t>(rate / 60.0));
    dsp::SpectrumFrame frame;
    while (std::fread(hop.data(), sizeof(float), hop.size(), stdin) == hop.size()) {
        analyzer.pushSamples(hop.data(), static_cast<unsigned>(hop.size()));
        if (!analyzer.process(frame))
            continue;
        int loudest = 0;
        for (int k = 1; k < frame.bandCount; ++k) {
            if (frame.bars[k] > frame.bars[loudest])
                loudest = k;
        }
        std::printf("frame %u rms %.1f dB gain %+.1f dB presence %.2f loudest band %d (%.0f Hz)\n",
            frame.seq, frame.rmsDb, frame.agcDb, frame.presence, loudest,
            analyzer.bands().table()[loudest].centerHz);
    }
    return 0;
}
