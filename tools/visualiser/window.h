// The window: the visual drawn live into a QRhi swap chain on the back end --backend names (auto:
// Vulkan on a GPU, OpenGL ES otherwise), following the sound that plays (a file or the demo
// through the sound server).
#ifndef VISUALISER_WINDOW_H
#define VISUALISER_WINDOW_H

#include "options.h"

#include <QGuiApplication>
#include <QString>

namespace visualiser {

// Why no window can open here (no display), or empty; checked before the application starts.
// It puts the minimal plugin behind the platforms Qt will try (Wayland where WAYLAND_DISPLAY is
// set, X11 where DISPLAY is, or those QT_QPA_PLATFORM names), so that a display that does not
// answer leaves Qt running for runWindow() to report instead of ending the process. Qt's messages
// are held from here until runWindow() knows which platform started: a display that did not
// answer is then one line of the program's own, and where Wayland fell back to X11 the window
// opens after that line.
QString windowProblem();

// Runs the window until the user quits or the event loop ends with a status (a stop signal, see
// shell::exitEventLoopOnStop); returns the exit status: 3 for a damaged file after its warning, 2
// with one line where the display did not answer.
int runWindow(const Options& o, QGuiApplication& app);

} // namespace visualiser

#endif
