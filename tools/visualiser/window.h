// The live run: the visual drawn in a window (visualwindow.h) on the back end --backend names
// (auto: Vulkan on a GPU, OpenGL ES otherwise), following the sound that plays (a file or the demo
// through the sound server, or live capture; following.h), on the display that display.h found.
#ifndef VISUALISER_WINDOW_H
#define VISUALISER_WINDOW_H

#include "options.h"

#include "shell/config.h"

#include <QGuiApplication>

namespace visualiser {

// Runs the window until the user quits or the event loop ends with a status (a stop signal, see
// shell::exitEventLoopOnStop); returns the exit status: 3 for a damaged file after its warning, 2
// with one line where the display did not answer. config is followed while the window runs: a
// new delay takes effect at once.
int runWindow(const Options& o, QGuiApplication& app, shell::Config& config);

} // namespace visualiser

#endif
