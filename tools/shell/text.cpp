#include "shell/text.h"

#include <QString>
#include <QtGlobal>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace shell {

namespace {

    std::string& program()
    {
        static std::string name = "program";
        return name;
    }

    // The length of the valid UTF-8 sequence at text[i] (no overlong forms, surrogates or code
    // points past U+10FFFF), 0 when there is none.
    std::size_t utf8Length(const std::string& text, std::size_t i)
    {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
        const unsigned char c = byte(i);
        std::size_t n = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        } else {
            return 0;
        }
        if (i + n > text.size() || byte(i + 1) < low || byte(i + 1) > high)
            return 0;
        for (std::size_t k = 2; k < n; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80)
                return 0;
        }
        return n;
    }

} // namespace

void setProgramName(const char* name)
{
    program() = name;
}

const std::string& programName()
{
    return program();
}

std::string printable(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        const std::size_t n = c >= 0x80 ? utf8Length(text, i) : 0;
        // C1 controls (U+0080..U+009F) steer some terminals as ESC does.
        const bool c1 = n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (n > 0 && !c1) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        if (c == '\t') {
            out += '\t';
            ++i;
            continue;
        }
        char hex[5];
        std::snprintf(hex, sizeof(hex), "\\x%02X", c);
        out += hex;
        ++i;
    }
    return out;
}

void say(const std::string& line)
{
    static std::mutex mutex;
    const std::lock_guard<std::mutex> lock(mutex);
    const std::string text = printable(line) + '\n';
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void complain(const std::string& message)
{
    say(program() + ": " + message);
}

std::string clockText(double sec)
{
    const double t = std::isfinite(sec) ? std::clamp(sec, 0.0, 1e12) : 0.0;
    const long long tenths = static_cast<long long>(t * 10.0);
    char text[48];
    if (tenths < 36000)
        std::snprintf(
            text, sizeof(text), "%lld:%02lld.%lld", tenths / 600, (tenths / 10) % 60, tenths % 10);
    else
        std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld.%lld", tenths / 36000,
            (tenths / 600) % 60, (tenths / 10) % 60, tenths % 10);
    return text;
}

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

void installQtMessageFilter()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            complain(message.toStdString());
    });
}

} // namespace shell
