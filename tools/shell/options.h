// The command line of both programs, under one set of rules:
// - An option that takes a value takes the next argument, or what follows '=' in its own; an
//   option whose value is optional (--capture[=SOURCE]) takes one only after '='.
// - A value taken from the next argument must not look like an option ("--no-live", "-h"), except
//   "-" (standard input or output): a forgotten value would otherwise swallow the next option.
// - An option given twice, an empty value and an empty file name are errors that name the option
//   (or the file name); only -h/--help may repeat.
// - "--" ends the options; "-" and anything not led by '-' is an operand (a file name), kept as
//   the bytes it is.
// Every problem is one line without the program's name, for shell::complain().
#ifndef SHELL_OPTIONS_H
#define SHELL_OPTIONS_H

#include <map>
#include <string>
#include <vector>

namespace shell {

struct Option {
    enum class Takes { Nothing, Value, ValueAfterEquals };
    const char* name; // "--png"
    Takes takes = Takes::Nothing;
    const char* alias = nullptr; // another spelling ("-h" for "--help")
    const char* valueName = "a value"; // what the value is, for messages ("a source name")
};

// The options both programs take, spelled and read the same in both: --size WxH (the picture's
// size in pixels), --capture[=SOURCE] (a sound server's source, by default what the computer
// plays), --list-sources (the sources --capture takes), --list-sections (the demo's sections),
// --delay MS and -h/--help.
extern const Option kSizeOption;
extern const Option kCaptureOption;
// --capture-backend pipewire|pulse: which sound server's protocol a capture speaks.
extern const Option kCaptureBackendOption;
extern const Option kListSourcesOption;
extern const Option kListSectionsOption;
extern const Option kHelpOption;
// --delay MS: how much later than its sound the picture shows, on top of the latency the output
// reports, for an output that reports too little or none.
extern const Option kDelayOption;
constexpr int kMaxDelayMs = 2000;

class CommandLine {
public:
    // Empty when argv follows the rules for table, else the problem.
    std::string parse(int argc, char** argv, const std::vector<Option>& table);

    bool given(const std::string& name) const { return values_.count(name) != 0; }
    // The value given; empty for a flag or an option not given.
    std::string value(const std::string& name) const;
    const std::vector<std::string>& operands() const { return operands_; }

private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> operands_;
};

// Reads --capture-backend's value, pipewire or pulse, into *name. Returns the problem, empty when
// sound.
std::string parseCaptureBackend(const std::string& text, std::string* name);
// Reads --capture-backend into *name ("pipewire" or "pulse"; empty when not given, for the
// automatic choice); it goes with --capture or --list-sources. Returns the problem, empty when
// sound.
std::string readCaptureBackend(const CommandLine& line, std::string* name);

// A picture's size in pixels, each side within its range.
struct SizeRange {
    int minWidth;
    int minHeight;
    int maxWidth;
    int maxHeight;
};
// Reads WIDTHxHEIGHT within range for option; returns the problem, empty when sound.
std::string parseSize(
    const std::string& option, const std::string& text, const SizeRange& range, int* w, int* h);

// Where a number of seconds starts: 0 itself allowed, or only above 0.
enum class SecondsFrom { Zero, AboveZero };
// Reads a finite number of seconds for option; returns the problem, empty when sound.
std::string parseSeconds(
    const std::string& option, const std::string& text, SecondsFrom from, double* sec);

// Reads --delay's whole milliseconds, 0..kMaxDelayMs; returns the problem, empty when sound.
std::string parseDelay(const std::string& text, int* ms);

// --layout NAME: how the bars are laid out. bars: one row of bars growing up; mirror: growing both
// ways from the middle; stereo: the left and the right side, each analysed by its own analyser.
// Each program takes the layouts it can draw.
extern const Option kLayoutOption;
enum class Layout { Bars, Mirror, Stereo };
// Reads --layout's value among allowed; returns the problem, empty when sound.
std::string parseLayout(
    const std::string& text, const std::vector<Layout>& allowed, Layout* layout);
const char* layoutName(Layout layout);

} // namespace shell

#endif
