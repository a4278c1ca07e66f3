#include "shell/theme.h"

#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace shell {

namespace {

    Gradient gradientOf(const char* text)
    {
        Gradient g;
        parseGradient(text, &g);
        return g;
    }

    Rgb colourOf(const char* text)
    {
        Rgb c;
        parseColour(text, &c);
        return c;
    }

    Theme classic()
    {
        Theme t;
        t.name = "classic";
        t.about
            = "green, yellow and red bars, a purple to pale yellow heat map, warm to cool strands";
        // The xterm colours 41, 184, 203 and 231 exactly, so that a 256-colour terminal gets
        // the same numbers as before themes.
        t.bars = gradientOf("#00d75f@0,#d7d700@0.6,#ff5f5f@0.85");
        t.peaks = colourOf("#ffffff");
        // The picture's scale, sampled from a perceptually ordered dark-to-bright one (black,
        // purple, red, orange, pale yellow), so that a taller bar always reads lighter.
        t.heat = gradientOf("#000004,#57106e,#bc3754,#f98e09,#fcffa4");
        t.strandStart = { 1.0f, 0.42f, 0.12f };
        t.strandEnd = { 0.16f, 0.52f, 1.0f };
        return t;
    }

    Theme made(const char* name, const char* about,
        const std::vector<std::pair<std::string, std::string>>& keys)
    {
        std::vector<std::string> problems;
        Theme t = themeFromKeys(classic(), name, keys, &problems);
        assert(problems.empty() && "a built-in theme's keys are sound");
        t.about = about;
        return t;
    }

    std::vector<Theme> makeBuiltIns()
    {
        return { classic(),
            made("ember", "embers on charcoal: dark red to gold, a strong glow",
                { { "bars", "#5f0000,#d75f00,#ffd75f" }, { "peaks", "#ffffaf" },
                    { "background", "#1c0f0a" }, { "strands", "#ff3b0a,#ffc847" },
                    { "glow", "1.4" } }),
            made("ocean", "deep blue to foam, on midnight blue",
                { { "bars", "#005f87,#00afd7,#afffff" }, { "peaks", "#ffffff" },
                    { "background", "#000f1e" }, { "strands", "#1e64ff,#00ffc8" } }),
            made("spectrum", "a rainbow across the bands, strands coloured by depth",
                { { "bars", "#ff0000,#ffff00,#00ff00,#00ffff,#0000ff,#ff00ff" },
                    { "bars-axis", "bands" }, { "peaks", "#ffffff" }, { "mode", "rainbow" } }),
            made("mono", "greys only, a soft glow",
                { { "bars", "#4e4e4e,#eeeeee" }, { "peaks", "#ffffff" },
                    { "strands", "#9e9e9e,#ffffff" }, { "glow", "0.6" } }) };
    }

    std::mutex userMutex;
    std::vector<Theme> userThemes;

    bool validName(const std::string& name)
    {
        if (name.empty())
            return false;
        for (char c : name) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')
                || (c >= '0' && c <= '9') || c == '-' || c == '_';
            if (!ok)
                return false;
        }
        return true;
    }

    std::string setColourKey(Theme& t, const std::string& key, const std::string& value)
    {
        if (key == "background" && value == "none") {
            t.hasBackground = false;
            return {};
        }
        Rgb c;
        if (!parseColour(value, &c))
            return "needs a colour #rrggbb" + std::string(key == "background" ? " or none" : "")
                + ", got '" + value + "'";
        (key == "peaks" ? t.peaks : t.background) = c;
        t.hasBackground = t.hasBackground || key == "background";
        return {};
    }

    std::string setStrands(Theme& t, const std::string& value)
    {
        Gradient g;
        if (!parseGradient(value, &g).empty() || g.stepped || g.stops.size() != 2)
            return "needs two colours #rrggbb,#rrggbb, got '" + value + "'";
        const Rgb a = g.stops[0].colour;
        const Rgb b = g.stops[1].colour;
        t.strandStart = { a.r / 255.0f, a.g / 255.0f, a.b / 255.0f };
        t.strandEnd = { b.r / 255.0f, b.g / 255.0f, b.b / 255.0f };
        return {};
    }

    std::string setGlow(Theme& t, const std::string& value)
    {
        char* end = nullptr;
        const float v = std::strtof(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !(v >= 0.0f && v <= kMaxGlow))
            return "needs a number from 0 to 4, got '" + value + "'";
        t.glow = v;
        return {};
    }

    // The keys whose values are words: bars-axis and mode.
    std::string setChoice(Theme& t, const std::string& key, const std::string& value)
    {
        if (key == "bars-axis" && (value == "height" || value == "bands")) {
            t.barsAxis = value == "height" ? Theme::Axis::Height : Theme::Axis::Bands;
            return {};
        }
        if (key == "mode" && (value == "gradient" || value == "rainbow")) {
            t.mode = value == "gradient" ? Theme::StrandMode::Gradient : Theme::StrandMode::Rainbow;
            return {};
        }
        return std::string("needs ") + (key == "mode" ? "gradient or rainbow" : "height or bands")
            + ", got '" + value + "'";
    }

} // namespace

const std::vector<Theme>& builtInThemes()
{
    static const std::vector<Theme> themes = makeBuiltIns();
    return themes;
}

const Theme& defaultTheme()
{
    return builtInThemes().front();
}

std::string setThemeKey(Theme& theme, const std::string& key, const std::string& value)
{
    std::string problem;
    Theme t = theme;
    if (key == "bars" || key == "heat") {
        Gradient g;
        if (key == "heat" && value == "none")
            t.heat = {};
        else if ((problem = parseGradient(value, &g)).empty())
            (key == "bars" ? t.bars : t.heat) = g;
    } else if (key == "peaks" || key == "background") {
        problem = setColourKey(t, key, value);
    } else if (key == "strands") {
        problem = setStrands(t, value);
    } else if (key == "glow") {
        problem = setGlow(t, value);
    } else if (key == "bars-axis" || key == "mode") {
        problem = setChoice(t, key, value);
    } else {
        std::string keys;
        for (const std::string& known : themeKeys())
            keys += (keys.empty() ? "" : ", ") + known;
        return "unknown theme key '" + key + "' (" + keys + ")";
    }
    if (!problem.empty())
        return "theme key '" + key + "' " + problem;
    theme = t;
    return {};
}

const std::vector<std::string>& themeKeys()
{
    static const std::vector<std::string> keys
        = { "bars", "bars-axis", "peaks", "background", "heat", "strands", "mode", "glow" };
    return keys;
}

std::string themeValue(const Theme& t, const std::string& key)
{
    auto unit = [](const std::array<float, 3>& c) {
        auto byte = [](float v) { return static_cast<std::uint8_t>(std::lround(v * 255.0f)); };
        return colourText({ byte(c[0]), byte(c[1]), byte(c[2]) });
    };
    char glow[32];
    std::snprintf(glow, sizeof(glow), "%g", static_cast<double>(t.glow));
    const std::pair<const char*, std::string> values[] = { { "bars", gradientText(t.bars) },
        { "bars-axis", t.barsAxis == Theme::Axis::Height ? "height" : "bands" },
        { "peaks", colourText(t.peaks) },
        { "background", t.hasBackground ? colourText(t.background) : "none" },
        { "heat", t.heat.stops.empty() ? "none" : gradientText(t.heat) },
        { "strands", unit(t.strandStart) + "," + unit(t.strandEnd) },
        { "mode", t.mode == Theme::StrandMode::Gradient ? "gradient" : "rainbow" },
        { "glow", glow } };
    for (const auto& [name, value] : values) {
        if (key == name)
            return value;
    }
    return {};
}

Theme themeFromKeys(const Theme& base, const std::string& name,
    const std::vector<std::pair<std::string, std::string>>& keys,
    std::vector<std::string>* problems)
{
    Theme t = base;
    t.name = name;
    t.about = "your own, from " + base.name;
    bool heatSet = false;
    bool coloursSet = false;
    for (const auto& [key, value] : keys) {
        const std::string problem = setThemeKey(t, key, value);
        if (!problem.empty()) {
            problems->push_back(problem);
            continue;
        }
        heatSet = heatSet || key == "heat";
        coloursSet = coloursSet || key == "bars" || key == "background";
    }
    if (coloursSet && !heatSet)
        t.heat = {};
    return t;
}

std::string addUserTheme(const Theme& theme)
{
    if (!validName(theme.name))
        return "a theme's name is letters, digits, '-' and '_', got '" + theme.name + "'";
    for (const Theme& builtIn : builtInThemes()) {
        if (builtIn.name == theme.name)
            return "theme '" + theme.name + "' is built in: give yours another name";
    }
    const std::lock_guard<std::mutex> lock(userMutex);
    for (Theme& t : userThemes) {
        if (t.name == theme.name) {
            t = theme;
            return {};
        }
    }
    userThemes.push_back(theme);
    return {};
}

void clearUserThemes()
{
    const std::lock_guard<std::mutex> lock(userMutex);
    userThemes.clear();
}

std::vector<Theme> allThemes()
{
    std::vector<Theme> all = builtInThemes();
    const std::lock_guard<std::mutex> lock(userMutex);
    all.insert(all.end(), userThemes.begin(), userThemes.end());
    return all;
}

bool findTheme(const std::string& name, Theme* theme)
{
    for (const Theme& t : allThemes()) {
        if (t.name == name) {
            *theme = t;
            return true;
        }
    }
    return false;
}

const Option kThemeOption { "--theme", Option::Takes::Value, nullptr,
    "a theme name (--list-themes lists them)" };
const Option kListThemesOption { "--list-themes" };

std::string readTheme(const CommandLine& line, Theme* theme)
{
    if (!line.given(kThemeOption.name)) {
        *theme = defaultTheme();
        return {};
    }
    return parseTheme(line.value(kThemeOption.name), theme);
}

std::string parseTheme(const std::string& name, Theme* theme)
{
    if (findTheme(name, theme))
        return {};
    std::string names;
    for (const Theme& t : allThemes())
        names += (names.empty() ? "" : ", ") + t.name;
    return "option '--theme' needs one of " + names + ", got '" + name + "'";
}

const char* const kUserThemeHelp
    = "theme.NAME.KEY = VALUE: a theme of your own, NAME, for 'theme = NAME' and --theme NAME.\n"
      "It starts from the default theme, or from the one theme.NAME.base names (its first key);\n"
      "the keys: bars, bars-axis, peaks, background, heat (bandview), strands, mode, glow\n"
      "(the visualiser), as --list-themes's themes hold them. For example:\n"
      "theme.dusk.base = ember\n"
      "theme.dusk.peaks = #ffffff";

std::string setUserThemeKey(
    const std::string& name, const std::string& key, const std::string& value)
{
    Theme theme;
    const bool known = findTheme(name, &theme);
    if (key == "base") {
        Theme base;
        if (!findTheme(value, &base))
            return "no theme '" + value + "' to start from";
        base.name = name;
        base.about = "yours, from " + value;
        return addUserTheme(base);
    }
    if (!known) {
        theme = defaultTheme();
        theme.name = name;
        theme.about = "yours";
    }
    const std::string problem = setThemeKey(theme, key, value);
    return problem.empty() ? addUserTheme(theme) : problem;
}

std::string themeListing()
{
    std::string text;
    for (const Theme& t : allThemes()) {
        text += t.name + std::string(t.name.size() < 10 ? 10 - t.name.size() : 1, ' ')
            + (t.name == defaultTheme().name ? "(default) " : "") + t.about + "\n";
    }
    return text;
}

} // namespace shell
