// The signals both programs answer, one way in every phase (decoding, analysing, rendering,
// encoding, writing, a window's event loop):
// - SIGINT, SIGTERM and SIGHUP only note the signal; the program checks stopSignal() often, drops
//   what it has not committed and exits with 128 + the signal. They interrupt a blocking read or
//   write (no SA_RESTART).
// - SIGTSTP gives the terminal back (the leave hook) and stops the program; SIGCONT is noted, and
//   the enter hook takes the terminal again. SIGQUIT gives the terminal back, removes the
//   temporaries of uncommitted outputs and dumps core as by default.
// - SIGPIPE and SIGXFSZ are ignored, so that a write past a pipe's end or a size limit fails with
//   an error instead of killing the program.
// - SIGWINCH is noted for a live view.
#ifndef SHELL_SIGNALS_H
#define SHELL_SIGNALS_H

class QCoreApplication;

namespace shell {

// Call once at the start and again after anything that may have taken the signals over (a Qt
// platform plugin).
void installSignalHandlers();

// The stop signal received, 0 while none.
int stopSignal();
bool stopped();
// 128 + the stop signal.
int stoppedStatus();

// True once after each SIGCONT / SIGWINCH.
bool takeContinued();
bool takeResized();

// What gives the terminal back before the program stops or dumps core, and takes it again after
// SIGCONT; both must be async-signal-safe. Null: nothing to do.
void setTerminalHooks(void (*leave)(), void (*enter)());

// Ends app's event loop with stoppedStatus() soon after a stop signal (polled, well within a
// second).
void exitEventLoopOnStop(QCoreApplication& app);

} // namespace shell

#endif
