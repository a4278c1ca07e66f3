// Colours as both programs read them: "#rrggbb" in themes and on the command line, and gradients
// of such colours sampled from 0 to 1.
#ifndef SHELL_COLOUR_H
#define SHELL_COLOUR_H

#include <cstdint>
#include <string>
#include <vector>

namespace shell {

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};

// Reads "#rrggbb" (either case); false when text is anything else.
bool parseColour(const std::string& text, Rgb* colour);
// "#rrggbb", lower case.
std::string colourText(Rgb colour);

// Colours placed from 0 to 1. Smooth: each point mixes the two stops around it. Stepped: each
// colour holds from its stop up to the next one's.
struct Gradient {
    struct Stop {
        float at = 0.0f;
        Rgb colour;
    };
    std::vector<Stop> stops; // ascending, the first at 0
    bool stepped = false;
    // The colour at t (clamped to 0..1; NaN reads 0); black when there is no stop.
    Rgb at(float t) const;
};

// Reads a comma-separated list of two or more colours. Plain colours spread evenly and blend
// ("#000000,#ff0000"); each led by its start with '@' makes steps, the first at 0
// ("#00d75f@0,#d7d700@0.6,#ff5f5f@0.85"). Returns the problem, empty when sound.
std::string parseGradient(const std::string& text, Gradient* gradient);
// The text parseGradient() reads back into the same gradient.
std::string gradientText(const Gradient& gradient);

} // namespace shell

#endif
