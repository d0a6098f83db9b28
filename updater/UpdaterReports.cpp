#include "UpdaterReports.h"

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial) {
    if (builds.empty()) {
        display.message(UpdaterDisplayInterface::INFO, "No builds found for device [%08X]", serial);
        return;
    }
    display.message(UpdaterDisplayInterface::INFO, "Build List for device [%08X]:\n", serial);
    display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& [build, version] : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(UpdaterDisplayInterface::INFO, "%-15.15s\t%-15.15s", build.c_str(),
                        version.c_str());
}

void _display_jwt(UpdaterDisplayInterface& display, const std::string& token) {
    display.message(UpdaterDisplayInterface::INFO, "%s", token.c_str());
}
