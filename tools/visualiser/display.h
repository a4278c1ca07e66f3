// The display a window opens on: whether there is one, the platforms Qt is sent to, and what
// became of them, said in one line of the program's own.
#ifndef VISUALISER_DISPLAY_H
#define VISUALISER_DISPLAY_H

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

// Once the application has started: says in one line what became of the displays Qt was sent to,
// where that was not the first, and hands on Qt's held messages; false where no window can open.
bool platformStarted();

} // namespace visualiser

#endif
