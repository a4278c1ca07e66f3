#include "shell/sources.h"

#include "capture/capturesource.h"
#include "shell/status.h"
#include "shell/text.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace shell {

int listSources()
{
    std::vector<capture::SourceInfo> sources;
    std::string why;
    if (!capture::createCaptureSource(programName())->listSources(&sources, &why)) {
        complain(why);
        return kExitBadInput;
    }
    std::printf("%-44s %7s %3s  %-15s %s\n", "source", "rate", "ch", "marks", "description");
    for (const capture::SourceInfo& s : sources) {
        std::string marks = s.isDefault ? "default" : "";
        for (const auto& [set, mark] :
            { std::pair { s.isMonitor, "monitor" }, std::pair { s.isCaptured, "capture" } }) {
            if (set)
                marks += (marks.empty() ? "" : " ") + std::string(mark);
        }
        std::printf("%-44s %7d %3d  %-15s %s\n", s.name.c_str(), s.rateHz, s.channels,
            marks.c_str(), s.description.c_str());
    }
    return 0;
}

} // namespace shell
