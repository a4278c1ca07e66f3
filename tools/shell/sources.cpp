#include "shell/sources.h"

#include "capture/capturesource.h"
#include "shell/status.h"
#include "shell/text.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace shell {

capture::Backend captureBackend(const std::string& name)
{
    capture::Backend backend = capture::Backend::Automatic;
    capture::parseBackend(name, &backend);
    return backend;
}

int listSources(const std::string& backend)
{
    std::vector<capture::SourceInfo> sources;
    std::string why;
    if (!capture::createCaptureSource(programName(), captureBackend(backend))
             ->listSources(&sources, &why)) {
        complain(why);
        return kExitBadInput;
    }
    std::printf("%-44s %7s %3s  %-22s %s\n", "source", "rate", "ch", "marks", "description");
    for (const capture::SourceInfo& s : sources) {
        std::string marks;
        for (const auto& [set, mark] :
            { std::pair { s.isDefault, "default" }, std::pair { s.isDefaultOutput, "output" },
                std::pair { s.isMonitor, "monitor" }, std::pair { s.isCaptured, "capture" },
                std::pair { s.isApplication, "application" } }) {
            if (set)
                marks += (marks.empty() ? "" : " ") + std::string(mark);
        }
        // PipeWire says a node's rate and channels only once it runs.
        const std::string rate = s.rateHz > 0 ? std::to_string(s.rateHz) : "-";
        const std::string channels = s.channels > 0 ? std::to_string(s.channels) : "-";
        std::printf("%-44s %7s %3s  %-22s %s\n", s.name.c_str(), rate.c_str(), channels.c_str(),
            marks.c_str(), s.description.c_str());
    }
    return 0;
}

} // namespace shell
