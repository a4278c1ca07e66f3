#include "display.h"

#include "shell/text.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>

#include <string>
#include <utility>
#include <vector>

namespace visualiser {

namespace {

    // What QT_QPA_PLATFORM held before windowProblem() put the minimal plugin behind it.
    QByteArray givenPlatforms;
    // The Debian package (12 and 13) that holds Qt's Wayland platform plugins.
    constexpr const char* kWaylandPluginPackage = "qt6-wayland";

    // Qt's messages while the platform starts, held back until runWindow() knows which one did:
    // a platform that does not reach its display says so in its own words (the Wayland plugin's
    // "Failed to create wl_display (...)") before Qt falls back to the next, where one line of
    // ours says it better.
    QtMessageHandler passOn = nullptr;
    std::vector<std::pair<QtMsgType, QString>> held;

    void hold(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        // A fatal message ends the process at once.
        if (type == QtFatalMsg)
            passOn(type, context, message);
        else
            held.emplace_back(type, message);
    }

    // Puts the program's own handler back; hands it the held messages unless dropped.
    void releaseHeld(bool drop)
    {
        qInstallMessageHandler(passOn);
        for (const auto& [type, message] : drop ? decltype(held) {} : held)
            passOn(type, QMessageLogContext(), message);
        held.clear();
    }

    bool waylandPluginInstalled()
    {
        QStringList folders = QCoreApplication::libraryPaths();
        for (QString& folder : folders)
            folder += QStringLiteral("/platforms");
        folders << qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
        for (const QString& folder : folders) {
            if (!folder.isEmpty()
                && !QDir(folder)
                        .entryList({ QStringLiteral("libqwayland*") }, QDir::Files)
                        .isEmpty())
                return true;
        }
        return false;
    }

    // The Wayland display as a window could not use it: its name, and why where the plugin for it
    // is missing.
    std::string waylandDisplay()
    {
        std::string named
            = "the Wayland display '" + qgetenv("WAYLAND_DISPLAY").toStdString() + "'";
        if (!waylandPluginInstalled())
            named += std::string(" (Qt's Wayland plugin is not installed: Debian package ")
                + kWaylandPluginPackage + ")";
        return named;
    }

    // The one line for a window that could not open: the displays Qt was sent to.
    std::string displayFailure()
    {
        const QByteArray x11 = qgetenv("DISPLAY");
        if (!givenPlatforms.isEmpty())
            return "cannot open a window with the platform '" + givenPlatforms.toStdString()
                + "' that QT_QPA_PLATFORM names";
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && !x11.isEmpty())
            return "cannot open " + waylandDisplay() + " or the X display '" + x11.toStdString()
                + "'";
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
            return "cannot open " + waylandDisplay();
        return "cannot open the display '" + x11.toStdString() + "'";
    }

    // Whether the window opened on X11 after the Wayland display named did not answer.
    bool fellBackFromWayland()
    {
        return givenPlatforms.isEmpty() && qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
            && QGuiApplication::platformName() == QLatin1String("xcb");
    }

    // Whether the Wayland display named can answer at all: its socket, where the client library
    // looks for it, exists. Where it cannot, Wayland is not tried, so that the client library's own
    // lines (a runtime folder not set, say) never reach the terminal; a socket handed down as a
    // descriptor is left for the plugin to try.
    bool waylandSocketExists()
    {
        if (qEnvironmentVariableIsSet("WAYLAND_SOCKET"))
            return true;
        const QString name = qEnvironmentVariable("WAYLAND_DISPLAY");
        if (name.startsWith(QLatin1Char('/')))
            return QFileInfo::exists(name);
        const QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
        return !folder.isEmpty() && QFileInfo::exists(folder + QLatin1Char('/') + name);
    }

    // The platforms to try when QT_QPA_PLATFORM names none.
    QByteArray platformsToTry(bool wayland, bool x11)
    {
        QByteArrayList platforms;
        if (wayland && waylandSocketExists())
            platforms << "wayland";
        if (x11)
            platforms << "xcb";
        return platforms.join(';');
    }

} // namespace

QString windowProblem()
{
    givenPlatforms = qgetenv("QT_QPA_PLATFORM");
    const bool wayland = qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    const bool x11 = qEnvironmentVariableIsSet("DISPLAY");
    if (givenPlatforms.isEmpty() && !wayland && !x11)
        return QStringLiteral(
            "no display to open a window on (use --render OUT to render off-line)");
    // Qt ends the process when no platform in its list starts; the minimal one always starts,
    // and runWindow() then says which display did not answer. A Wayland plugin that is not
    // installed is passed over like one whose display does not answer.
    QByteArray platforms = givenPlatforms.isEmpty() ? platformsToTry(wayland, x11) : givenPlatforms;
    if (!platforms.split(';').contains("minimal"))
        platforms += platforms.isEmpty() ? "minimal" : ";minimal";
    qputenv("QT_QPA_PLATFORM", platforms);
    passOn = qInstallMessageHandler(hold);
    return {};
}

bool platformStarted()
{
    const bool failed = QGuiApplication::platformName() == QLatin1String("minimal");
    const bool fellBack = fellBackFromWayland();
    releaseHeld(failed || fellBack);
    if (failed) {
        shell::complain(displayFailure());
        return false;
    }
    // Without the plugin, Wayland was never tried: an X display is what this Qt can open.
    if (fellBack && waylandPluginInstalled())
        shell::complain("cannot open the Wayland display '"
            + qgetenv("WAYLAND_DISPLAY").toStdString() + "'; using the X display '"
            + qgetenv("DISPLAY").toStdString() + "'");
    return true;
}

} // namespace visualiser
