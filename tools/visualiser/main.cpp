// visualiser: draws the shader pack's strands, driven by the spectrum analysis core, in a window
// or off-line into PNGs or a video.

#include "display.h"
#include "offline.h"
#include "options.h"
#include "programme.h"
#include "vectorstate.h"
#include "window.h"

#include "media/audiodecoder.h"
#include "media/demo.h"
#include "shell/signals.h"
#include "shell/status.h"
#include "shell/text.h"
#include "shell/theme.h"
#include "shell/version.h"
#include "visual/headless.h"

#ifdef VISUALISER_CAPTURE
#include "shell/sources.h"
#endif

#include <QFileInfo>
#include <QGuiApplication>

#include <chrono>
#include <cstdio>

namespace {

using namespace visualiser;

int fail(const std::string& message)
{
    shell::complain(message);
    return shell::kExitBadInput;
}

// Off-line, a stop removes what the run wrote; the window has nothing to write.
int stop(const char* line = "stopped, nothing written")
{
    shell::complain(line);
    return shell::stoppedStatus();
}

void listSections()
{
    std::printf("%6s %6s  %-11s %s\n", "start", "end", "section", "what to watch");
    for (const media::DemoSection& s : media::kDemoSections)
        std::printf("%6.2f %6.2f  %-11s %s\n", s.startSec, s.endSec, s.name, s.watch);
}

// The run's result, as bandview gives its own: what was rendered from which input, how long and
// how big, in how long, and where it went.
std::string resultLine(const Options& o, long long pictures, double wallSec)
{
    char summary[160];
    std::snprintf(summary, sizeof(summary), ": %s of video at %dx%d, %lld pictures in %.2f s; ",
        shell::clockText(double(pictures) / o.fps).c_str(), o.size.width(), o.size.height(),
        pictures, wallSec);
    const bool folder = QFileInfo(QFile::decodeName(o.render.c_str())).isDir();
    return (o.input.empty() ? std::string("demo") : o.input) + summary
        + (folder ? "pictures " : "video ") + o.render;
}

int render(const Options& given, int argc, char** argv)
{
    const auto started = std::chrono::steady_clock::now();
    const std::string bad = checkOutput(given);
    if (!bad.empty())
        return fail(bad);
    // The back end that auto resolves to here, for the run itself.
    Options o = given;
    o.backend = visual::prepareHeadless(given.backend);
    // The headless platforms would take SIGINT, SIGTERM and SIGTSTP over for a console of their
    // own, which an off-line run never has.
    qputenv("QT_QPA_NO_SIGNAL_HANDLER", "1");
    QGuiApplication app(argc, argv);
    clearUpperVectorState();
    shell::installSignalHandlers();
    std::string why;
    const auto feed = openProgramme(o.input, &why);
    if (!feed)
        return shell::stopped() ? stop() : fail(why);
    long long pictures = 0;
    switch (renderOffline(o, *feed, &pictures, &why)) {
    case OfflineResult::Failed:
        return fail(why);
    case OfflineResult::Stopped:
        return stop();
    case OfflineResult::Done:
        break;
    }
    shell::say(resultLine(o, pictures,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()));
    const std::string warning = damageWarning(o.input, *feed);
    if (!warning.empty()) {
        shell::complain(warning);
        return shell::kExitDamaged;
    }
    return shell::kExitClean;
}

} // namespace

int main(int argc, char** argv)
{
    shell::setProgramName("visualiser");
    shell::installSignalHandlers();
    // A stop signal ends the wait on a pipe that has nothing to give.
    media::AudioDecoder::setStopCheck(shell::stopped);
    Options o;
    shell::CommandLine line;
    shell::Config config(settingsOf(o), kOptionTable);
    config.addGroup("theme", shell::setUserThemeKey, shell::kUserThemeHelp);
    std::string problem = parseOptions(argc, argv, line, config, o);
    if (!problem.empty())
        return fail(problem);
    if (o.help) {
        std::fputs(kHelp, stdout);
        std::fputs(shell::kExitStatusHelp, stdout);
        return 0;
    }
    if (o.version) {
        std::puts(shell::versionLine().c_str());
        return 0;
    }
    if (o.listSections) {
        listSections();
        return 0;
    }
    if (o.listThemes) {
        std::fputs(shell::themeListing().c_str(), stdout);
        return 0;
    }
    if (o.listSources) {
#ifdef VISUALISER_CAPTURE
        return shell::listSources(o.captureBackend);
#else
        return fail("this visualiser was built without live capture (BANDCORE_CAPTURE=OFF)");
#endif
    }
    keepRenderToCommandLine(line, o);
    if (o.printConfig) {
        std::fputs(config.printout("visualiser").c_str(), stdout);
        return 0;
    }
    shell::installQtMessageFilter();
    if (!o.render.empty())
        return render(o, argc, argv);

    const QString noDisplay = windowProblem();
    if (!noDisplay.isEmpty())
        return fail(noDisplay.toStdString());
    QGuiApplication app(argc, argv);
    clearUpperVectorState();
    shell::installSignalHandlers();
    shell::exitEventLoopOnStop(app);
    const int status = runWindow(o, app, config);
    if (status >= shell::kExitSignalBase)
        return stop("stopped");
    return status;
}
