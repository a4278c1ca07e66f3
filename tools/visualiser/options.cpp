#include "options.h"

#include <QRegularExpression>

#include <cmath>

namespace visualiser {

const char* const kHelp = R"(Usage: visualiser [options] [FILE]

Draws glowing helical strands that move with the music: the spectrum analysis core drives the
shader pack, one analysis per 1/60 s of audio. Plays FILE (any audio file FFmpeg reads), live
capture (--capture), or without either the built-in demo programme of about 20 s.

In a window (the default) the sound plays through the sound server and the picture follows what is
heard. Keys: F or F11 full screen, Space pause, Q or Escape quit.

Options:
  --render OUT        render off-line instead: OUT is an existing folder for numbered PNGs
                      (000000.png, ...) or a video file (.mp4, .mkv, .webm) with the audio muxed in
  --size WxH          picture size, sides from 16 to 4096 (default 1280x720; a video needs even
                      sides)
  --fps 60|30         pictures per second of --render (default 60); the analysis always runs
                      every 1/60 s
  --backend auto|vulkan|gles
                      graphics back end (default auto: Vulkan on a GPU, OpenGL ES where Vulkan
                      would run on the CPU, as on Mesa's lavapipe, or does not start)
  --from SEC          first second to render (the analysis still runs from the start)
  --to SEC            second to stop rendering at (default: the end)
  --capture[=SOURCE]  show live capture from the sound server (default: the monitor of the default
                      output)
  --list-sections     list the sections of the demo programme and exit
  -h, --help          show this help and exit

--render needs no display: it picks a headless platform itself (Vulkan on Mesa's lavapipe, or
OpenGL ES on a surfaceless EGL display, which auto picks there). Output is the same bytes from run
to run.
Exit status: 0 on success, 2 for bad input or an output that cannot be written (nothing is left
behind then), 130 when stopped.
)";

namespace {

    bool parseSeconds(const QString& text, double* out)
    {
        bool ok = false;
        const double v = text.toDouble(&ok);
        if (!ok || !std::isfinite(v) || v < 0.0)
            return false;
        *out = v;
        return true;
    }

} // namespace

QString parseOptions(int argc, char** argv, Options& o)
{
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (optionsEnd || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            if (!o.input.isEmpty())
                return QStringLiteral("one input file at most, got '%1' and '%2'")
                    .arg(o.input, arg);
            o.input = arg;
            continue;
        }
        if (arg == QLatin1String("--")) {
            optionsEnd = true;
            continue;
        }
        const int eq = arg.indexOf(QLatin1Char('='));
        const QString name = eq > 0 ? arg.left(eq) : arg;
        if (name == QLatin1String("--capture")) {
            o.capture = true;
            if (eq > 0) {
                o.captureSource = arg.mid(eq + 1);
                if (o.captureSource.isEmpty())
                    return QStringLiteral("option '--capture=' needs a source name");
            }
            continue;
        }
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            o.help = true;
            continue;
        }
        if (arg == QLatin1String("--list-sections")) {
            o.listSections = true;
            continue;
        }
        const bool takesValue = name == QLatin1String("--render") || name == QLatin1String("--size")
            || name == QLatin1String("--fps") || name == QLatin1String("--backend")
            || name == QLatin1String("--from") || name == QLatin1String("--to");
        if (!takesValue)
            return QStringLiteral("unknown option '%1' (visualiser --help lists the options)")
                .arg(arg);
        QString value;
        if (eq > 0)
            value = arg.mid(eq + 1);
        else if (i + 1 < argc)
            value = QString::fromLocal8Bit(argv[++i]);
        if (value.isEmpty())
            return QStringLiteral("option '%1' needs a value").arg(name);
        if (name == QLatin1String("--render")) {
            o.render = value;
        } else if (name == QLatin1String("--size")) {
            static const QRegularExpression pattern(QStringLiteral("^(\\d{1,5})x(\\d{1,5})$"));
            const QRegularExpressionMatch m = pattern.match(value);
            const int w = m.hasMatch() ? m.captured(1).toInt() : 0;
            const int h = m.hasMatch() ? m.captured(2).toInt() : 0;
            if (w < kMinSide || h < kMinSide || w > kMaxSide || h > kMaxSide)
                return QStringLiteral("--size '%1' is not WxH with sides from %2 to %3")
                    .arg(value)
                    .arg(kMinSide)
                    .arg(kMaxSide);
            o.size = QSize(w, h);
        } else if (name == QLatin1String("--fps")) {
            if (value == QLatin1String("60"))
                o.fps = 60;
            else if (value == QLatin1String("30"))
                o.fps = 30;
            else
                return QStringLiteral("frame rate '%1' is not 60 or 30").arg(value);
        } else if (name == QLatin1String("--backend")) {
            if (!visual::parseBackend(value, &o.backend))
                return QStringLiteral("back end '%1' is not auto, vulkan or gles").arg(value);
        } else if (!parseSeconds(value, name == QLatin1String("--from") ? &o.fromSec : &o.toSec)) {
            return QStringLiteral("option '%1' needs seconds from 0, got '%2'").arg(name, value);
        }
    }
    if (o.toSec >= 0.0 && o.toSec <= o.fromSec)
        return QStringLiteral("--to %1 is not after --from %2").arg(o.toSec).arg(o.fromSec);
    if (o.capture && !o.input.isEmpty())
        return QStringLiteral("give a file or --capture, not both");
    if (o.capture && !o.render.isEmpty())
        return QStringLiteral("--render needs a file or the demo, not live capture");
    if (o.size.isEmpty())
        o.size = QSize(kDefaultWidth, kDefaultHeight);
    return {};
}

} // namespace visualiser
