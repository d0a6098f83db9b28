// The application's fixed console texts: version line, notice line and usage text.
#ifndef KORVEL_USAGE_H
#define KORVEL_USAGE_H

#include <string>

#include "UpdaterDisplayInterface.h"

// "Updater (Version: ...)" as an INFO message.
void _display_app_version(UpdaterDisplayInterface& display);

// The notice line as an INFO message.
void _display_copyright(UpdaterDisplayInterface& display);

// The usage text on standard error: the short part always; with full, the parameters, commands
// and samples; with full and extended, the extended parameters and commands too.
void _display_usage(bool extended, bool full);

// The usage text itself, for _display_usage and for tests.
std::string _usage_text(bool extended, bool full);

#endif
