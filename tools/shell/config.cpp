#include "shell/config.h"

#include "shell/text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <utility>

namespace shell {

namespace {

    constexpr auto kLookPeriod = std::chrono::milliseconds(kConfigLookMs);
    constexpr const char* kFromCommandLine = "command line";
    constexpr const char* kBlanks = " \t\r";

    std::string trimmed(const std::string& s)
    {
        const std::size_t from = s.find_first_not_of(kBlanks);
        if (from == std::string::npos)
            return {};
        return s.substr(from, s.find_last_not_of(kBlanks) - from + 1);
    }

    // A word of a group's key: letters, digits, '-' and '_'.
    bool isWord(const std::string& s)
    {
        if (s.empty())
            return false;
        for (const char c : s) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!letter && !(c >= '0' && c <= '9') && c != '-' && c != '_')
                return false;
        }
        return true;
    }

    // value without a comment after it: a '#' that follows a blank, so that a value may begin
    // with '#' (a colour).
    std::string withoutComment(const std::string& value)
    {
        for (std::size_t i = 1; i < value.size(); ++i) {
            if (value[i] == '#' && (value[i - 1] == ' ' || value[i - 1] == '\t'))
                return trimmed(value.substr(0, i));
        }
        return value;
    }

    // The lines of text that set a key of group, trimmed, in order.
    std::string groupLines(const std::string& text, const std::string& group)
    {
        std::string out;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            const std::string line = trimmed(text.substr(at, end - at));
            if (line.compare(0, group.size() + 1, group + ".") == 0)
                out += line + "\n";
            at = end + 1;
        }
        return out;
    }

    // text as comment lines.
    std::string commented(const std::string& text)
    {
        std::string out;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            out += "# " + text.substr(at, end - at) + "\n";
            at = end + 1;
        }
        return out;
    }

    // The whole file into *text; false with *why set when it cannot be read.
    bool readWhole(const std::string& path, std::string* text, std::string* why)
    {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) {
            *why = std::strerror(errno);
            return false;
        }
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0)
            text->append(buffer, n);
        const bool failed = std::ferror(f) != 0;
        const int error = errno;
        std::fclose(f);
        if (failed)
            *why = std::strerror(error);
        return !failed;
    }

} // namespace

const Option kConfigOption { "--config", Option::Takes::Value, nullptr, "a file name" };
const Option kNoConfigOption { "--no-config" };
const Option kPrintConfigOption { "--print-config" };

std::string defaultConfigPath(const std::string& program)
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/')
        return std::string(xdg) + "/" + program + "/config";
    const char* home = std::getenv("HOME");
    if (home && home[0] != '\0')
        return std::string(home) + "/.config/" + program + "/config";
    return {};
}

Config::Config(std::vector<Setting> table, std::vector<Option> options, Say say)
    : table_(std::move(table))
    , options_(std::move(options))
    , say_(say ? std::move(say) : Say(complain))
    , lastLook_(std::chrono::steady_clock::now())
{
}

void Config::setSay(Say say)
{
    say_ = say ? std::move(say) : Say(complain);
}

void Config::addGroup(const std::string& group, GroupReader reader, const std::string& about)
{
    groups_[group] = { std::move(reader), about };
}

std::string Config::takeCommandLine(const CommandLine& line)
{
    for (const Setting& s : table_) {
        const std::string option = "--" + s.key;
        if (!line.given(option))
            continue;
        const std::string value = s.flag ? std::string("true") : line.value(option);
        const std::string problem = s.read(value);
        if (!problem.empty())
            return problem;
        inForce_[s.key] = { value, kFromCommandLine };
    }
    return {};
}

std::string Config::load(const CommandLine& line, const std::string& program)
{
    if (line.given(kNoConfigOption.name)) {
        if (line.given(kConfigOption.name))
            return "options '--config' and '--no-config' exclude each other";
        return {};
    }
    if (line.given(kConfigOption.name))
        return loadFile(line.value(kConfigOption.name), true);
    const std::string path = defaultConfigPath(program);
    return path.empty() ? std::string() : loadFile(path, false);
}

std::string Config::loadFile(const std::string& path, bool named)
{
    path_ = path;
    // A default file that cannot be found, or whose folder is closed to this user, is not there
    // for the program.
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0 && !named)
        return {};
    std::string text;
    std::string why;
    if (!readWhole(path, &text, &why)) {
        // The default file was looked for, not asked for: what keeps it from being read is
        // said, and the run goes on without it.
        if (!named) {
            say_(path + ": cannot read: " + why);
            return {};
        }
        return path + ": cannot read: " + why;
    }
    text_ = text;
    apply(text, true);
    return {};
}

void Config::onChange(const std::string& key, std::function<void(const std::string&)> hook)
{
    if (hook)
        hooks_[key] = std::move(hook);
    else
        hooks_.erase(key);
}

void Config::follow()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - lastLook_ < kLookPeriod)
        return;
    lastLook_ = now;
    reload();
}

void Config::reload()
{
    // Only a file is read again: a pipe or a FIFO named would have nothing more, or wait.
    struct stat st { };
    if (path_.empty() || ::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    std::string text;
    std::string why;
    if (!readWhole(path_, &text, &why)) {
        // Said once, not at every look.
        if (why != unreadable_)
            say_(path_ + ": cannot read: " + why);
        unreadable_ = why;
        return;
    }
    unreadable_.clear();
    // Two saves within a file system's time stamp's step look alike but for their text.
    if (text == text_)
        return;
    const std::string before = text_;
    text_ = text;
    apply(text, false);
    refreshGroups(before, text);
}

void Config::refreshGroups(const std::string& before, const std::string& after)
{
    for (const auto& entry : groups_) {
        const std::string& group = entry.first;
        const auto hook = hooks_.find(group);
        const auto now = inForce_.find(group);
        if (hook == hooks_.end() || now == inForce_.end() || now->second.value.empty())
            continue;
        if (groupLines(before, group) != groupLines(after, group))
            hook->second(now->second.value);
    }
}

void Config::apply(const std::string& text, bool starting)
{
    // The group lines first, so that a key may name what they make wherever they stand
    // ('theme = mine' above the theme.mine lines).
    for (const bool groups : { true, false }) {
        int number = 0;
        for (std::size_t at = 0; at < text.size();) {
            std::size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            applyLine(text.substr(at, end - at), ++number, starting, groups);
            at = end + 1;
        }
    }
}

void Config::applyLine(const std::string& raw, int number, bool starting, bool groups)
{
    const std::string where = path_ + ":" + std::to_string(number);
    const std::string line = trimmed(raw);
    if (line.empty() || line[0] == '#')
        return;
    const std::size_t eq = line.find('=');
    const std::string key = eq == std::string::npos ? std::string() : trimmed(line.substr(0, eq));
    const bool groupLine = key.find('.') != std::string::npos;
    // A line of no key is said once, with the keys.
    if (groupLine != groups)
        return;
    if (eq == std::string::npos)
        return problem(where, "not 'key = value'");
    const std::string value = withoutComment(trimmed(line.substr(eq + 1)));
    if (key.empty())
        return problem(where, "no key before '='");
    if (value.empty())
        return problem(where, "key '" + key + "' has no value");
    if (groupLine)
        return applyGroupKey(key, value, where);
    applyKey(key, value, where, starting);
}

void Config::applyKey(
    const std::string& key, const std::string& value, const std::string& where, bool starting)
{
    const Setting* s = find(key);
    if (!s) {
        for (const Option& o : options_) {
            if (o.name == "--" + key)
                return problem(where,
                    "'" + key
                        + "' is not a setting the file can hold: give it on the command line");
        }
        return problem(where, "unknown key '" + key + "'");
    }
    if (s->flag && value != "true" && value != "false")
        return problem(where, "'" + key + "' takes true or false, got '" + value + "'");
    InForce& now = inForce_[key];
    if (now.from == kFromCommandLine)
        return;
    if (!now.from.empty() && now.value == value) {
        now.from = where;
        return;
    }
    const auto hook = hooks_.find(key);
    if (!starting && hook == hooks_.end()) {
        if (saidLater_.insert({ key, value }).second)
            say_(where + ": '" + key + "' changes at the next start");
        return;
    }
    std::string why = s->read(value);
    if (!why.empty()) {
        // The parsers speak of the option; here it is the key.
        const std::string option = "option '--" + key + "'";
        if (why.compare(0, option.size(), option) == 0)
            why = "'" + key + "'" + why.substr(option.size());
        return problem(where, why);
    }
    now = { value, where };
    if (!starting)
        hook->second(value);
}

void Config::applyGroupKey(
    const std::string& key, const std::string& value, const std::string& where)
{
    const std::size_t first = key.find('.');
    const std::size_t second = key.find('.', first + 1);
    const std::string group = key.substr(0, first);
    const auto it = groups_.find(group);
    if (it == groups_.end())
        return problem(where, "unknown key '" + key + "'");
    const std::string name
        = second == std::string::npos ? std::string() : key.substr(first + 1, second - first - 1);
    const std::string member = second == std::string::npos ? std::string() : key.substr(second + 1);
    if (!isWord(name) || !isWord(member))
        return problem(where,
            "'" + key + "' is not " + group + ".NAME.KEY (letters, digits, '-' and '_' each)");
    const std::string why = it->second.reader(name, member, value);
    if (!why.empty())
        problem(where, why);
}

const Setting* Config::find(const std::string& key) const
{
    for (const Setting& s : table_) {
        if (s.key == key)
            return &s;
    }
    return nullptr;
}

void Config::problem(const std::string& where, const std::string& reason) const
{
    say_(where + ": " + reason);
}

std::string Config::printout(const std::string& program) const
{
    std::string out = "# " + program + "'s configuration: $XDG_CONFIG_HOME/" + program
        + "/config\n# (~/.config/" + program + "/config without it), or the file --config names.\n"
        + "# One 'key = value' a line; '#' starts a comment at a line's start or after a blank.\n"
        + "# The keys are the long options' names without the dashes, taking the same values; an\n"
        + "# option without a value is 'key = true'. The command line wins over the file. A "
          "change\n"
        + "# to the file takes effect within a second, where it can, while the program runs.\n"
        + "# --print-config prints the values in force: those set say where from.\n";
    for (const Setting& s : table_) {
        out += "\n" + commented(s.about);
        const auto it = inForce_.find(s.key);
        if (it == inForce_.end() || it->second.from.empty())
            out += "# " + s.key + " = " + s.example + "\n";
        else
            out += s.key + " = " + it->second.value + "  # " + it->second.from + "\n";
    }
    for (const auto& [group, entry] : groups_)
        out += "\n" + commented(entry.about);
    return out;
}

} // namespace shell
