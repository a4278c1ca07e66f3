// --version, the same in both programs: one line with the program's name and the project's
// version ("bandview 1.0.0") on standard output.
#ifndef SHELL_VERSION_H
#define SHELL_VERSION_H

#include "shell/options.h"

#include <string>

namespace shell {

extern const Option kVersionOption;

// "<program> <version>".
std::string versionLine();

} // namespace shell

#endif
