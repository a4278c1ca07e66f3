// The audio a run plays: the demo programme or a whole decoded file, as mono samples.
#ifndef VISUALISER_PROGRAMME_H
#define VISUALISER_PROGRAMME_H

#include <QString>

#include <vector>

namespace visualiser {

struct Programme {
    std::vector<float> samples;
    int rateHz = 0;
    bool demo = false;
    // One line when the file was damaged but still gave audio; empty otherwise.
    QString warning;

    double seconds() const { return rateHz > 0 ? double(samples.size()) / rateHz : 0.0; }
};

// input empty: the demo. On failure returns false with a one-line reason naming the file.
bool loadProgramme(const QString& input, Programme* out, QString* why);

} // namespace visualiser

#endif
