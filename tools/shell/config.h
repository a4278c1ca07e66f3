// Both programs' configuration file: where it is, what it may hold, how it is read and followed
// while a program runs.
// - The file is $XDG_CONFIG_HOME/PROGRAM/config ($HOME/.config/PROGRAM/config without it), or the
//   one --config FILE names; --no-config reads none. A default file that is not there is no
//   problem; a named one that cannot be read is (status 2).
// - One 'key = value' a line; '#' starts a comment at a line's start or after a blank (so that a
//   value may begin with '#', a colour); blank lines are ignored. The keys are the
//   long options' names without the dashes and take the same values, read by the same parsers;
//   an option without a value is 'key = true' (or false). Only the keys of a program's table are
//   accepted: what is drawn and how, never an input, an output or a data format, so that no file
//   changes what a script reads. Keys of the form GROUP.NAME.KEY ("theme.ember.bars") go, checked
//   for their spelling only, to the reader the program gave for GROUP.
// - The command line wins: a key given there keeps its value whatever the file says, then and
//   later.
// - A bad line is one message naming the file, the line and the reason; every good line still
//   applies, and a key whose new value is bad keeps the one in force.
// - While the program runs, follow() reads the file again twice a second (by its name, so that
//   an editor that renames a new file over the old one is followed, whatever its time stamps
//   say) and applies what changed: a key whose change the program can take live (it gave a hook
//   for it) changes at once; any other is said once to change at the next start. A file that
//   disappears keeps the values in force, and so does a key taken out of the file.
#ifndef SHELL_CONFIG_H
#define SHELL_CONFIG_H

#include "shell/options.h"

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace shell {

// How often a running program looks at its file: half the second within which a change takes
// effect, as a look can come up to one period after the change.
constexpr int kConfigLookMs = 500;

// --config FILE, --no-config and --print-config, spelled the same in both programs.
extern const Option kConfigOption;
extern const Option kNoConfigOption;
extern const Option kPrintConfigOption;

// Reads a value and keeps it where the program reads it: returns the problem, empty when sound
// (nothing is kept then). The problem may name the option ("option '--delay' needs ..."): a
// message about the file names the key instead.
using SettingReader = std::function<std::string(const std::string& value)>;

// One key a program's file may hold.
struct Setting {
    std::string key; // the long option's name without the dashes: "delay"
    bool flag; // an option without a value: true or false in the file
    SettingReader read;
    std::string example; // a value, shown commented out where the key is not set
    std::string about; // what it does, one line or more, for the example file
};

// Reads one key of a group: GROUP.NAME.KEY = value, with name and key as the file spells them.
// Returns the problem, empty when sound. Every group line is handed on at the start and again
// each time the file changes while the program runs; what the reader does with a new value then
// is its own.
using GroupReader = std::function<std::string(
    const std::string& name, const std::string& key, const std::string& value)>;

// The file a program reads by default: $XDG_CONFIG_HOME/program/config, where that is an
// absolute path, else $HOME/.config/program/config.
std::string defaultConfigPath(const std::string& program);

class Config {
public:
    // Messages about the file go to say, one line each without the program's name (complain()
    // by default).
    using Say = std::function<void(const std::string& line)>;
    // table: the keys the file may hold; options: the program's command line, whose other
    // options the file is told it cannot hold.
    Config(std::vector<Setting> table, std::vector<Option> options, Say say = nullptr);

    // Where the messages about the file go from now on (a live view's status line); null:
    // complain().
    void setSay(Say say);

    // Takes GROUP.NAME.KEY lines for the group to reader; about says what they do, for the
    // example file.
    void addGroup(const std::string& group, GroupReader reader, const std::string& about);

    // Reads the table's options given on line, as the command line's own: returns the first
    // problem (a usage problem, status 2), empty when all are sound.
    std::string takeCommandLine(const CommandLine& line);

    // Reads the file the options name (--config, --no-config, or the default one) and applies
    // it. Returns a problem only for a named file that cannot be read; bad lines are said.
    std::string load(const CommandLine& line, const std::string& program);
    // Reads path and applies it; named: a missing file is a problem, not silence.
    std::string loadFile(const std::string& path, bool named);

    // Makes key live: after a new value from the file has been read, hook is called with it. A
    // key named as a group (theme) is called again with the value in force when the group's lines
    // change, so that an edited theme of one's own shows as the named one does.
    void onChange(const std::string& key, std::function<void(const std::string& value)> hook);
    // Looks at the file when half a second has passed since the last look, and applies what
    // changed: a change takes effect within a second.
    void follow();
    // Looks at the file now, and applies what changed.
    void reload();

    // The values in force and where each comes from, as a file: the keys at their defaults
    // commented out, each with what it does. Without a file and options it is the example file.
    std::string printout(const std::string& program) const;

private:
    struct InForce {
        std::string value; // empty: the default
        std::string from; // "command line", "FILE:LINE", empty for the default
    };
    void apply(const std::string& text, bool starting);
    // Applies raw where it is a group line and groups is true, or a key's line and it is false.
    void applyLine(const std::string& raw, int number, bool starting, bool groups);
    void applyKey(
        const std::string& key, const std::string& value, const std::string& where, bool starting);
    void applyGroupKey(const std::string& key, const std::string& value, const std::string& where);
    // Calls the hooks of the groups whose lines differ between the two texts.
    void refreshGroups(const std::string& before, const std::string& after);
    const Setting* find(const std::string& key) const;
    void problem(const std::string& where, const std::string& reason) const;

    struct Group {
        GroupReader reader;
        std::string about;
    };

    std::vector<Setting> table_;
    std::vector<Option> options_;
    std::map<std::string, Group> groups_;
    std::map<std::string, InForce> inForce_;
    std::map<std::string, std::function<void(const std::string&)>> hooks_;
    // The keys said to change at the next start, with the value said.
    std::set<std::pair<std::string, std::string>> saidLater_;
    Say say_;
    std::string path_; // empty: no file
    std::string text_; // the file as last read
    std::string unreadable_; // why it could not be read again, as last said
    std::chrono::steady_clock::time_point lastLook_;
};

} // namespace shell

#endif
