// How many colours bandview's live view may use, and a theme's colours at that depth.
//
// The depth comes from the environment: none where NO_COLOR is set and not empty (whatever else
// says) or where TERM is unset, empty or "dumb"; 24-bit where COLORTERM is "truecolor" or
// "24bit"; else the xterm 256-colour palette. A colour that is exactly one of the palette's
// 6x6x6 cube or grey ramp goes out as its palette number at either depth: it looks the same and
// takes fewer bytes, and the classic theme draws exactly the numbers it always has.
#ifndef BANDVIEW_TERMCOLOUR_H
#define BANDVIEW_TERMCOLOUR_H

#include "shell/colour.h"

#include <cstdint>

namespace bandview {

enum class ColourDepth { None, Palette, TrueColour };

// Each argument is the variable's value, or null when it is unset.
ColourDepth colourDepth(const char* colorterm, const char* noColor, const char* term);
ColourDepth colourDepthFromEnvironment();

// The palette entry nearest to c (by squared distance in RGB) among the cube (16..231) and the
// grey ramp (232..255); the 16 system colours are left out, as terminals set them as they like.
int nearestXterm(shell::Rgb c);
// The colour of palette entry 16..255.
shell::Rgb xtermColour(int index);

// A colour as the terminal is told it: a palette number, a 24-bit value, or neither (the
// terminal's own).
struct TermColour {
    std::int16_t xterm = -1;
    std::int32_t rgb = -1; // 0xrrggbb
    bool isDefault() const { return xterm < 0 && rgb < 0; }
    bool operator==(const TermColour& o) const { return xterm == o.xterm && rgb == o.rgb; }
    bool operator!=(const TermColour& o) const { return !(*this == o); }
};
TermColour termColour(shell::Rgb c, ColourDepth depth);

} // namespace bandview

#endif
