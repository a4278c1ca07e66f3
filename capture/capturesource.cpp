#include "capture/capturesource.h"

namespace capture {

std::string sourceAfterDefaultChange(
    const std::string& wanted, const std::string& current, const std::string& defaultMonitor)
{
    if (wanted != kDefaultMonitor || defaultMonitor.empty() || defaultMonitor == current)
        return {};
    return defaultMonitor;
}

} // namespace capture
