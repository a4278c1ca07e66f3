// --list-sources, the same in both programs: the sound server's sources that --capture=SOURCE
// takes, one a line on standard output.
#ifndef SHELL_SOURCES_H
#define SHELL_SOURCES_H

namespace shell {

// Prints the sources (name, rate, channels, marks, description) under a heading line; the marks
// are default (the server's default input), monitor (of an output) and capture (what --capture
// without a source takes). Returns the exit status: 0, or kExitBadInput after one line on
// standard error when there is no server to ask.
int listSources();

} // namespace shell

#endif
