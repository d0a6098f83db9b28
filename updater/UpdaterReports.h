// Console reports of the acquisition commands: build lists (-B, -L) and the feature token (-J).
// Everything is shown as INFO messages.
#ifndef KORVEL_UPDATERREPORTS_H
#define KORVEL_UPDATERREPORTS_H

#include <cstdint>
#include <string>

#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"

// "No builds found for device [SERIAL]" for an empty list; otherwise a title, a blank line, a
// heading and one row per build, newest version first.
void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds, uint32_t serial);
// The token on one line (an empty line for an empty token).
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);

#endif
