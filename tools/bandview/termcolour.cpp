#include "termcolour.h"

#include <cstdlib>
#include <cstring>

namespace bandview {

namespace {

    constexpr int kCubeLevels[6] = { 0, 95, 135, 175, 215, 255 };
    constexpr int kCubeStart = 16;
    constexpr int kGreyStart = 232;
    constexpr int kGreys = 24;
    // The grey ramp's first level and step: 8, 18, ... 238.
    constexpr int kGreyBase = 8;
    constexpr int kGreyStep = 10;

    bool set(const char* value)
    {
        return value && *value;
    }

    int nearestLevel(int v)
    {
        int best = 0;
        for (int i = 1; i < 6; ++i) {
            if (std::abs(kCubeLevels[i] - v) < std::abs(kCubeLevels[best] - v))
                best = i;
        }
        return best;
    }

    int distance(shell::Rgb a, shell::Rgb b)
    {
        const int dr = a.r - b.r;
        const int dg = a.g - b.g;
        const int db = a.b - b.b;
        return dr * dr + dg * dg + db * db;
    }

} // namespace

ColourDepth colourDepth(const char* colorterm, const char* noColor, const char* term)
{
    if (set(noColor) || !set(term) || std::strcmp(term, "dumb") == 0)
        return ColourDepth::None;
    if (colorterm
        && (std::strcmp(colorterm, "truecolor") == 0 || std::strcmp(colorterm, "24bit") == 0))
        return ColourDepth::TrueColour;
    return ColourDepth::Palette;
}

ColourDepth colourDepthFromEnvironment()
{
    return colourDepth(std::getenv("COLORTERM"), std::getenv("NO_COLOR"), std::getenv("TERM"));
}

shell::Rgb xtermColour(int index)
{
    auto level = [](int v) { return static_cast<std::uint8_t>(v); };
    if (index >= kGreyStart) {
        const std::uint8_t grey = level(kGreyBase + kGreyStep * (index - kGreyStart));
        return { grey, grey, grey };
    }
    const int i = index - kCubeStart;
    return { level(kCubeLevels[i / 36]), level(kCubeLevels[i / 6 % 6]), level(kCubeLevels[i % 6]) };
}

int nearestXterm(shell::Rgb c)
{
    const int cube
        = kCubeStart + 36 * nearestLevel(c.r) + 6 * nearestLevel(c.g) + nearestLevel(c.b);
    const int mean = (c.r + c.g + c.b) / 3;
    int step = (mean - kGreyBase + kGreyStep / 2) / kGreyStep;
    step = step < 0 ? 0 : (step >= kGreys ? kGreys - 1 : step);
    const int grey = kGreyStart + step;
    // Of two as near, the cube's: its colours keep their hue.
    return distance(c, xtermColour(grey)) < distance(c, xtermColour(cube)) ? grey : cube;
}

TermColour termColour(shell::Rgb c, ColourDepth depth)
{
    TermColour t;
    if (depth == ColourDepth::None)
        return t;
    const int nearest = nearestXterm(c);
    if (depth == ColourDepth::Palette || xtermColour(nearest) == c)
        t.xterm = static_cast<std::int16_t>(nearest);
    else
        t.rgb = (c.r << 16) | (c.g << 8) | c.b;
    return t;
}

} // namespace bandview
