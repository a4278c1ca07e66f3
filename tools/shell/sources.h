// --list-sources, the same in both programs: the sound server's sources that --capture=SOURCE
// takes, one a line on standard output.
#ifndef SHELL_SOURCES_H
#define SHELL_SOURCES_H

#include "capture/capturesource.h"

#include <string>

namespace shell {

// The back end that --capture-backend's value (from readCaptureBackend()) names.
capture::Backend captureBackend(const std::string& name);

// Prints the sources (name, rate, channels, marks, description) under a heading line: outputs,
// inputs and the applications playing now (app:NAME). The marks are default (the server's default
// input), output (the default output), monitor (an output's sound), capture (what --capture
// without a source takes) and application. Returns the exit status: 0, or kExitBadInput after one
// line on standard error when there is no server to ask. backend names the back end as
// --capture-backend does, empty for the automatic choice.
int listSources(const std::string& backend);

} // namespace shell

#endif
