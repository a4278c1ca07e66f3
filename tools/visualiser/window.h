// The window: the visual drawn live into a QRhi swap chain, Vulkan where it starts and OpenGL
// otherwise, following the sound that plays (a file or the demo through the sound server).
#ifndef VISUALISER_WINDOW_H
#define VISUALISER_WINDOW_H

#include "options.h"

#include <QGuiApplication>
#include <QString>

namespace visualiser {

// Why no window can open here (no display), or empty; checked before the application starts.
QString windowProblem();

// Runs the window until the user quits or the event loop ends with a status (a stop signal, see
// shell::exitEventLoopOnStop); returns the exit status, 3 for a damaged file after its warning.
int runWindow(const Options& o, QGuiApplication& app);

} // namespace visualiser

#endif
