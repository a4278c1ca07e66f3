#include "capture/capturesource.h"

#include "capture/pipewirecapture.h"
#include "capture/pulsecapture.h"

#include <atomic>

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

namespace {
    std::atomic<CallbackProbe> probe { nullptr };
} // namespace

void setCallbackProbe(CallbackProbe p)
{
    probe.store(p, std::memory_order_relaxed);
}

CallbackProbe callbackProbe()
{
    return probe.load(std::memory_order_relaxed);
}

std::unique_ptr<CaptureSource> createCaptureSource(const std::string& appName, Backend backend)
{
    if (backend == Backend::PipeWire
        || (backend == Backend::Automatic && PipeWireCapture::daemonAnswers()))
        return std::make_unique<PipeWireCapture>(appName);
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
