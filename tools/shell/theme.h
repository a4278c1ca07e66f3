// Colour themes, the same names in both programs: bandview takes the bars, the peak markers and
// the background, the visualiser the strands, the background and the glow. A handful are built
// in, "classic" (today's look) the default; the user's own are added at run time, from keys on
// top of a base theme (the configuration file's theme.NAME.KEY = value).
//
// The keys and their values:
//   bars        two or more colours, bottom to top (or low to high bands, see bars-axis):
//               "#102030,#ffcc00" blends, "#00d75f@0,#d7d700@0.6" steps at the shares given
//   bars-axis   height (the gradient climbs each bar) or bands (it runs across the bands)
//   peaks       the peak markers' colour, #rrggbb
//   background  #rrggbb, or none for the terminal's own (the visualiser's black)
//   heat        the picture's scale from bar height 0 to 1, colours as for bars; none to take
//               the background (black without one) and then the bars
//   strands     two colours, the strands' start and end, #rrggbb,#rrggbb
//   mode        gradient (the strands from start to end colour) or rainbow (hue by depth)
//   glow        the glow's strength, 0 to 4 times the usual (1)
// Setting bars or background in a theme without setting heat too drops an inherited heat, so that
// the picture follows the new colours.
#ifndef SHELL_THEME_H
#define SHELL_THEME_H

#include "shell/colour.h"
#include "shell/options.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace shell {

constexpr float kMaxGlow = 4.0f;

struct Theme {
    enum class Axis { Height, Bands };
    enum class StrandMode { Gradient, Rainbow };
    std::string name;
    std::string about; // one line for --list-themes
    Gradient bars;
    Axis barsAxis = Axis::Height;
    Rgb peaks;
    bool hasBackground = false;
    Rgb background;
    Gradient heat; // no stops: derived from the background and the bars
    // 0..1 each: the built-in default's colours are not whole steps of 1/255.
    std::array<float, 3> strandStart {};
    std::array<float, 3> strandEnd {};
    StrandMode mode = StrandMode::Gradient;
    float glow = 1.0f;
};

// The built-in themes, the default first.
const std::vector<Theme>& builtInThemes();
const Theme& defaultTheme();

// Sets one key of theme; on a bad key or value leaves it as it was and returns the problem in one
// line ("theme key 'glow' needs ..."), else returns empty.
std::string setThemeKey(Theme& theme, const std::string& key, const std::string& value);
// Every key setThemeKey() takes, in the order the comment above lists them.
const std::vector<std::string>& themeKeys();
// The value of key in theme as setThemeKey() reads it back (for showing what is in force); empty
// for an unknown key.
std::string themeValue(const Theme& theme, const std::string& key);
// A theme called name: base with each (key, value) set in order; a bad pair is skipped and its
// problem appended to *problems.
Theme themeFromKeys(const Theme& base, const std::string& name,
    const std::vector<std::pair<std::string, std::string>>& keys,
    std::vector<std::string>* problems);

// The user's themes, seen by --theme and --list-themes beside the built-in ones. A name is
// letters, digits, '-' and '_'; adding one that exists among the user's replaces it; a built-in
// name is refused. Returns the problem, empty when added. Safe from any thread.
std::string addUserTheme(const Theme& theme);
void clearUserThemes();
// The built-in themes, then the user's in the order added.
std::vector<Theme> allThemes();
// False when no theme has that name.
bool findTheme(const std::string& name, Theme* theme);

// --theme NAME and --list-themes, the same in both programs.
extern const Option kThemeOption;
extern const Option kListThemesOption;
// Reads --theme into *theme (the default when not given); returns the problem, empty when sound.
std::string readTheme(const CommandLine& line, Theme* theme);
// Reads a theme's name, as --theme takes it, into *theme; returns the problem, empty when sound.
std::string parseTheme(const std::string& name, Theme* theme);

// One key of the user's theme name, as the configuration file's theme.NAME.KEY = value gives it:
// the theme starts from the default one at its first key, or from the theme that its key 'base'
// names. Returns the problem, empty when set.
std::string setUserThemeKey(
    const std::string& name, const std::string& key, const std::string& value);
// What the configuration file's theme.NAME.KEY lines do, for its example.
extern const char* const kUserThemeHelp;
// What --list-themes prints: a line per theme, its name, "(default)" on the default, and about.
std::string themeListing();

} // namespace shell

#endif
