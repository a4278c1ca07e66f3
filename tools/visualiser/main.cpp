// visualiser: draws the shader pack's strands, driven by the spectrum analysis core, in a window
// or off-line into PNGs or a video.

#include "offline.h"
#include "options.h"
#include "programme.h"
#include "progress.h"
#include "window.h"

#include "media/demo.h"
#include "visual/headless.h"

#include <QGuiApplication>

#include <cmath>
#include <cstdio>

namespace {

using namespace visualiser;

constexpr int kExitBadInput = 2;
constexpr int kExitDamaged = 3;
constexpr int kExitStopped = 130;

int fail(const QString& message)
{
    std::fprintf(stderr, "visualiser: %s\n", message.toLocal8Bit().constData());
    return kExitBadInput;
}

// Platform plugins chatter about displays and input devices they do not find; only real errors
// reach the user.
void quietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "visualiser: %s\n", message.toLocal8Bit().constData());
}

void listSections()
{
    std::printf("%6s %6s  %-11s %s\n", "start", "end", "section", "what to watch");
    for (const media::DemoSection& s : media::kDemoSections)
        std::printf("%6.2f %6.2f  %-11s %s\n", s.startSec, s.endSec, s.name, s.watch);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    const QString problem = parseOptions(argc, argv, o);
    if (!problem.isEmpty())
        return fail(problem);
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (o.listSections) {
        listSections();
        return 0;
    }
    qInstallMessageHandler(quietQtMessages);
    installStopHandlers();

    if (!o.render.isEmpty()) {
        const QString bad = checkOutput(o);
        if (!bad.isEmpty())
            return fail(bad);
        o.backend = visual::prepareHeadless(o.backend);
        QGuiApplication app(argc, argv);
        Programme programme;
        QString why;
        if (!loadProgramme(o.input, &programme, &why))
            return fail(why);
        switch (renderOffline(o, programme, &why)) {
        case OfflineResult::Failed:
            return fail(why);
        case OfflineResult::Stopped:
            return kExitStopped;
        case OfflineResult::Done:
            break;
        }
        if (!programme.warning.isEmpty()) {
            std::fprintf(stderr, "visualiser: %s\n", programme.warning.toLocal8Bit().constData());
            return kExitDamaged;
        }
        return 0;
    }

    const QString noDisplay = windowProblem();
    if (!noDisplay.isEmpty())
        return fail(noDisplay);
    QGuiApplication app(argc, argv);
    return runWindow(o, app);
}
