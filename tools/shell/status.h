// The exit statuses of both programs, the same in every mode (live, off-line, in a window):
// 0 clean; 2 bad input or an output that cannot be written, nothing written; 3 damaged input, the
// outputs written and one warning line said; 128 + the signal when a stop signal ended the run,
// nothing written.
#ifndef SHELL_STATUS_H
#define SHELL_STATUS_H

namespace shell {

constexpr int kExitClean = 0;
constexpr int kExitBadInput = 2;
constexpr int kExitDamaged = 3;
constexpr int kExitSignalBase = 128;

// The statuses as both programs' --help states them.
extern const char* const kExitStatusHelp;

// The worse of two statuses: a stop over 2, over 3, over 0.
int worse(int a, int b);

} // namespace shell

#endif
