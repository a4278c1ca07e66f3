#include "shell/options.h"

#include "shell/text.h"

#include <cmath>
#include <cstdlib>

namespace shell {

namespace {

    constexpr std::size_t kMaxSideDigits = 5;

    bool readSide(const std::string& text, std::size_t from, std::size_t to, int* side)
    {
        if (to <= from || to - from > kMaxSideDigits)
            return false;
        int v = 0;
        for (std::size_t i = from; i < to; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return false;
            v = v * 10 + (text[i] - '0');
        }
        *side = v;
        return true;
    }

} // namespace

const Option kSizeOption { "--size", Option::Takes::Value };
const Option kCaptureOption { "--capture", Option::Takes::ValueAfterEquals, nullptr,
    "a source name (--list-sources lists them)" };
const Option kCaptureBackendOption { "--capture-backend", Option::Takes::Value, nullptr,
    "pipewire or pulse" };
const Option kListSourcesOption { "--list-sources" };
const Option kListSectionsOption { "--list-sections" };
const Option kHelpOption { "--help", Option::Takes::Nothing, "-h" };
const Option kDelayOption { "--delay", Option::Takes::Value };
const Option kLayoutOption { "--layout", Option::Takes::Value };

std::string CommandLine::parse(int argc, char** argv, const std::vector<Option>& table)
{
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg.empty())
                return "an input file name is empty";
            operands_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string spelled = eq != std::string::npos ? arg.substr(0, eq) : arg;
        const Option* option = nullptr;
        for (const Option& s : table) {
            if (spelled == s.name || (s.alias && spelled == s.alias))
                option = &s;
        }
        if (!option)
            return "unknown option '" + spelled + "' (" + programName()
                + " --help lists the options)";
        const std::string name = option->name;
        if (given(name) && name != kHelpOption.name)
            return "option '" + name + "' is given twice";
        std::string value;
        switch (option->takes) {
        case Option::Takes::Nothing:
            if (eq != std::string::npos)
                return "option '" + name + "' takes no value, got '" + arg.substr(eq + 1) + "'";
            break;
        case Option::Takes::ValueAfterEquals:
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                if (value.empty())
                    return "option '" + name + "=' needs " + option->valueName + " after '='";
            }
            break;
        case Option::Takes::Value:
            if (eq != std::string::npos)
                value = arg.substr(eq + 1);
            else if (i + 1 < argc)
                value = argv[++i];
            else
                return "option '" + name + "' needs a value";
            if (value.empty())
                return "option '" + name + "' has an empty value";
            if (value[0] == '-' && value != "-" && eq == std::string::npos)
                return "option '" + name + "' needs a value, got the option '" + value + "'";
            break;
        }
        values_[name] = value;
    }
    return {};
}

std::string CommandLine::value(const std::string& name) const
{
    const auto it = values_.find(name);
    return it == values_.end() ? std::string() : it->second;
}

std::string parseCaptureBackend(const std::string& text, std::string* name)
{
    if (text != "pipewire" && text != "pulse")
        return "option '" + std::string(kCaptureBackendOption.name)
            + "' needs pipewire or pulse, got '" + text + "'";
    *name = text;
    return {};
}

std::string readCaptureBackend(const CommandLine& line, std::string* name)
{
    const std::string option = kCaptureBackendOption.name;
    if (!line.given(option))
        return {};
    const std::string problem = parseCaptureBackend(line.value(option), name);
    if (!problem.empty())
        return problem;
    if (!line.given(kCaptureOption.name) && !line.given(kListSourcesOption.name))
        return "option '" + option + "' needs --capture or --list-sources";
    return {};
}

std::string parseSize(
    const std::string& option, const std::string& text, const SizeRange& range, int* w, int* h)
{
    const std::size_t x = text.find('x');
    int width = 0;
    int height = 0;
    if (x == std::string::npos || !readSide(text, 0, x, &width)
        || !readSide(text, x + 1, text.size(), &height) || width < range.minWidth
        || height < range.minHeight || width > range.maxWidth || height > range.maxHeight)
        return "option '" + option + "' needs WIDTHxHEIGHT from " + std::to_string(range.minWidth)
            + "x" + std::to_string(range.minHeight) + " to " + std::to_string(range.maxWidth) + "x"
            + std::to_string(range.maxHeight) + ", got '" + text + "'";
    *w = width;
    *h = height;
    return {};
}

std::string parseSeconds(
    const std::string& option, const std::string& text, SecondsFrom from, double* sec)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    const bool inRange = from == SecondsFrom::Zero ? v >= 0.0 : v > 0.0;
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || !inRange)
        return "option '" + option + "' needs a number of seconds "
            + (from == SecondsFrom::Zero ? "from 0" : "above 0") + ", got '" + text + "'";
    *sec = v;
    return {};
}

std::string parseDelay(const std::string& text, int* ms)
{
    int v = 0;
    // Four digits hold the whole range; more are out of it, however they read.
    bool sound = !text.empty() && text.size() <= 4;
    for (std::size_t i = 0; sound && i < text.size(); ++i) {
        sound = text[i] >= '0' && text[i] <= '9';
        v = v * 10 + (text[i] - '0');
    }
    if (!sound || v > kMaxDelayMs)
        return "option '" + std::string(kDelayOption.name) + "' needs whole milliseconds from 0 to "
            + std::to_string(kMaxDelayMs) + ", got '" + text + "'";
    *ms = v;
    return {};
}

std::string parseLayout(const std::string& text, const std::vector<Layout>& allowed, Layout* layout)
{
    std::string names;
    for (std::size_t i = 0; i < allowed.size(); ++i) {
        const std::string name = layoutName(allowed[i]);
        if (text == name) {
            *layout = allowed[i];
            return {};
        }
        names += (i == 0 ? "" : i + 1 == allowed.size() ? " or " : ", ") + name;
    }
    return "option '" + std::string(kLayoutOption.name) + "' needs " + names + ", got '" + text
        + "'";
}

const char* layoutName(Layout layout)
{
    switch (layout) {
    case Layout::Mirror:
        return "mirror";
    case Layout::Stereo:
        return "stereo";
    case Layout::Bars:
        break;
    }
    return "bars";
}

} // namespace shell
