#include "capture/capturesource.h"

#include "capture/pulsecapture.h"

namespace capture {

bool parseBackend(const std::string& text, Backend* backend)
{
    if (text == "pipewire")
        *backend = Backend::PipeWire;
    else if (text == "pulse")
        *backend = Backend::Pulse;
    else
        return false;
    return true;
}

std::unique_ptr<CaptureSource> createCaptureSource(const std::string& appName, Backend)
{
    return std::make_unique<PulseCapture>(appName);
}

std::string sourceAfterDefaultChange(
    const std::string& wanted, const std::string& current, const std::string& defaultMonitor)
{
    if (wanted != kDefaultMonitor || defaultMonitor.empty() || defaultMonitor == current)
        return {};
    return defaultMonitor;
}

} // namespace capture
