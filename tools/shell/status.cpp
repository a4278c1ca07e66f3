#include "shell/status.h"

namespace shell {

const char* const kExitStatusHelp
    = R"(Exit status: 0 clean; 2 bad input or an output that cannot be written (nothing written);
3 damaged input (outputs written, one warning line); 128 + the signal when stopped by SIGINT (130),
SIGTERM (143) or SIGHUP (129), at any point (nothing written).
)";

int worse(int a, int b)
{
    auto rank = [](int s) {
        return s >= kExitSignalBase ? 3 : s == kExitBadInput ? 2 : s == kExitDamaged ? 1 : 0;
    };
    return rank(b) > rank(a) ? b : a;
}

} // namespace shell
