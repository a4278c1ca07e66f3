#include "shell/colour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace shell {

namespace {

    int hexDigit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    std::uint8_t mix(std::uint8_t from, std::uint8_t to, float t)
    {
        return static_cast<std::uint8_t>(std::lround(from + (to - from) * t));
    }

    std::vector<std::string> splitCommas(const std::string& text)
    {
        std::vector<std::string> parts;
        std::size_t from = 0;
        for (std::size_t comma = text.find(',');; comma = text.find(',', from)) {
            std::string part = text.substr(from, comma - from);
            const std::size_t first = part.find_first_not_of(' ');
            const std::size_t last = part.find_last_not_of(' ');
            parts.push_back(
                first == std::string::npos ? std::string() : part.substr(first, last - first + 1));
            if (comma == std::string::npos)
                return parts;
            from = comma + 1;
        }
    }

} // namespace

bool parseColour(const std::string& text, Rgb* colour)
{
    if (text.size() != 7 || text[0] != '#')
        return false;
    int v[6];
    for (int i = 0; i < 6; ++i) {
        v[i] = hexDigit(text[std::size_t(i) + 1]);
        if (v[i] < 0)
            return false;
    }
    colour->r = static_cast<std::uint8_t>(v[0] * 16 + v[1]);
    colour->g = static_cast<std::uint8_t>(v[2] * 16 + v[3]);
    colour->b = static_cast<std::uint8_t>(v[4] * 16 + v[5]);
    return true;
}

std::string colourText(Rgb colour)
{
    char text[8];
    std::snprintf(text, sizeof(text), "#%02x%02x%02x", colour.r, colour.g, colour.b);
    return text;
}

Rgb Gradient::at(float t) const
{
    if (stops.empty())
        return {};
    const float v = std::isnan(t) ? 0.0f : std::clamp(t, 0.0f, 1.0f);
    std::size_t i = 0;
    while (i + 1 < stops.size() && v >= stops[i + 1].at)
        ++i;
    if (stepped || i + 1 == stops.size())
        return stops[i].colour;
    const Stop& a = stops[i];
    const Stop& b = stops[i + 1];
    const float w = (v - a.at) / (b.at - a.at);
    return { mix(a.colour.r, b.colour.r, w), mix(a.colour.g, b.colour.g, w),
        mix(a.colour.b, b.colour.b, w) };
}

std::string parseGradient(const std::string& text, Gradient* gradient)
{
    const std::vector<std::string> parts = splitCommas(text);
    if (parts.size() < 2)
        return "needs two or more colours #rrggbb separated by commas, got '" + text + "'";
    Gradient g;
    g.stepped = parts[0].find('@') != std::string::npos;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::size_t at = parts[i].find('@');
        if ((at != std::string::npos) != g.stepped)
            return "needs '@' on every colour or on none, got '" + text + "'";
        Gradient::Stop stop;
        if (!parseColour(parts[i].substr(0, at), &stop.colour))
            return "needs colours as #rrggbb, got '" + parts[i].substr(0, at) + "'";
        stop.at = static_cast<float>(i) / static_cast<float>(parts.size() - 1);
        if (g.stepped) {
            const std::string where = parts[i].substr(at + 1);
            char* end = nullptr;
            stop.at = std::strtof(where.c_str(), &end);
            const float low = i == 0 ? 0.0f : std::nextafter(g.stops.back().at, 1.0f);
            if (where.empty() || *end != '\0' || !(stop.at >= low && stop.at < 1.0f)
                || (i == 0 && stop.at != 0.0f))
                return "needs steps rising from @0 below @1, got '" + parts[i] + "'";
        }
        g.stops.push_back(stop);
    }
    *gradient = g;
    return {};
}

std::string gradientText(const Gradient& gradient)
{
    std::string text;
    for (const Gradient::Stop& stop : gradient.stops) {
        if (!text.empty())
            text += ',';
        text += colourText(stop.colour);
        if (gradient.stepped) {
            char at[32];
            std::snprintf(at, sizeof(at), "@%g", static_cast<double>(stop.at));
            text += at;
        }
    }
    return text;
}

} // namespace shell
