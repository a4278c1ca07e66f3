// The audio a run plays: the demo programme or a whole decoded file, as mono samples.
#ifndef VISUALISER_PROGRAMME_H
#define VISUALISER_PROGRAMME_H

#include <string>
#include <vector>

namespace visualiser {

struct Programme {
    std::vector<float> samples;
    int rateHz = 0;
    bool demo = false;
    // One line when the file was damaged but still gave audio; empty otherwise.
    std::string warning;

    double seconds() const { return rateHz > 0 ? double(samples.size()) / rateHz : 0.0; }
};

// input (a file's name as bytes) empty: the demo. On failure returns false with a one-line
// reason naming the file; a stop signal ends the decoding (see shell/signals.h) as a failure.
bool loadProgramme(const std::string& input, Programme* out, std::string* why);

} // namespace visualiser

#endif
