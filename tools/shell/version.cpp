#include "shell/version.h"

#include "shell/text.h"

namespace shell {

const Option kVersionOption { "--version" };

std::string versionLine()
{
    return programName() + " " + BANDCORE_PROJECT_VERSION;
}

} // namespace shell
