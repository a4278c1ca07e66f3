// visualiser: draws the shader pack's strands, driven by the spectrum analysis core, in a window
// or off-line into PNGs or a video.

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
#include "shell/version.h"
#include "visual/headless.h"

#ifdef VISUALISER_CAPTURE
#include "shell/sources.h"
#endif

#include <QGuiApplication>

#include <cstdio>

namespace {

using namespace visualiser;

int fail(const std::string& message)
{
    shell::complain(message);
    return shell::kExitBadInput;
}

int stop()
{
    shell::complain("stopped, nothing written");
    return shell::stoppedStatus();
}

void listSections()
{
    std::printf("%6s %6s  %-11s %s\n", "start", "end", "section", "what to watch");
    for (const media::DemoSection& s : media::kDemoSections)
        std::printf("%6.2f %6.2f  %-11s %s\n", s.startSec, s.endSec, s.name, s.watch);
}

int render(const Options& given, int argc, char** argv)
{
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
    switch (renderOffline(o, *feed, &why)) {
    case OfflineResult::Failed:
        return fail(why);
    case OfflineResult::Stopped:
        return stop();
    case OfflineResult::Done:
        break;
    }
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
    const std::string problem = parseOptions(argc, argv, o);
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
    if (o.listSources) {
#ifdef VISUALISER_CAPTURE
        return shell::listSources();
#else
        return fail("this visualiser was built without live capture (BANDCORE_CAPTURE=OFF)");
#endif
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
    const int status = runWindow(o, app);
    if (status >= shell::kExitSignalBase)
        return stop();
    return status;
}
