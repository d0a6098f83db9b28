// Entry point: parse the command line, prepare the store directory and run the requested
// commands in a fixed order. The exit status is 0 or 1.
#include <cstdio>
#include <string>

#include "AppInfo.h"
#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "UpdaterReports.h"
#include "Usage.h"
#include "aDirectory.h"
#include "path.h"

namespace {

const auto ERROR = UpdaterDisplayInterface::ERROR;
const auto INFO = UpdaterDisplayInterface::INFO;

// The store lives in <base>/updater, where the base is -i or <home>/.olvarin. Returns false
// (after its message) when the program must stop with status 1.
bool _prepare_store_directory(CLI_Display& display, const Parameters& params, std::string* store) {
    std::string base = params.storeDirectory;
    if (base.empty()) {
        char home[2048] = "";
        aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return false;
        }
        base = BuildPath(home, ".olvarin", nullptr);
    }
    *store = BuildPath(base.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(store->c_str(), 0755) != aErrNone) {
        display.message(ERROR, "Could not find updater directory at %s", store->c_str());
        return false;
    }
    return true;
}

// An operation that a later part of the tool supplies: report it rather than pretend success.
int _not_available(CLI_Display& display, const char* what) {
    display.message(ERROR, "%s is not available in this build of %s", what, AppInfo::NAME);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        _release_params(&params);
        return 1;
    }

    _display_app_version(display);

    const CommandsClass& cmds = params.commands;
    if (cmds.IsSet(CMD_HELP) || (cmds.Bits() & CMD_ANY_ACTION) == 0) {
        _display_copyright(display);
        _display_usage(params.logMaskGiven, params.help);
        _release_params(&params);
        return 0;
    }

    std::string storeDirectory;
    if (!_prepare_store_directory(display, params, &storeDirectory)) return 1;
    Updater updater(params.serverUrl.c_str(), storeDirectory.c_str(), display);
    int status = 0;

    if (cmds.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        status = _not_available(display, "Reading a processor fingerprint");
    }

    if (cmds.IsSet(CMD_GET_BUILD)) {
        if (params.deviceSerial == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return 1;
        }
        display.message(INFO, "Retrieving firmware for device with serial number %08X",
                        params.deviceSerial);
        if (params.build.empty()) {
            display.message(INFO, "No build specified");
            display.message(INFO, "Using Latest build");
        } else {
            display.message(INFO, "Retrieving firmware build %s", params.build.c_str());
        }
        uint32_t downloaded =
            updater.Download_Firmware(params.deviceSerial, params.build, params.override, false);
        if (downloaded != 0) {
            params.build = std::to_string(downloaded);
            status = 0;
        } else {
            status = 1;
        }
    }

    if (cmds.IsSet(CMD_DISCOVER)) {
        (void)_not_available(display, "Discovery");
        return 0;
    }

    if (cmds.IsSet(CMD_UPDATE)) {
        if (params.transport != TRANSPORT_RECOVER && params.deviceSerial == 0) {
            display.message(ERROR, "Must specify the specific device to be updated");
            return 1;
        }
        return _not_available(display, "Updating firmware");
    }

    // -B, -L and -J print their report and end the run.
    struct SerialCommand {
        COMMANDS command;
        const char* missingSerial;
    };
    const SerialCommand serialCommands[] = {
        {CMD_LIST_BUILDS, "Error must supply a serial number for the List Builds command"},
        {CMD_LIST_LOCAL_BUILDS,
         "Error must supply a serial number for the List Local Builds command"},
        {CMD_GET_JWT, "Error must supply a serial number for the Get JWT command"},
    };
    for (const SerialCommand& c : serialCommands) {
        if (!cmds.IsSet(c.command)) continue;
        if (params.deviceSerial == 0) {
            display.message(ERROR, "%s", c.missingSerial);
            _display_usage(false, false);
            return 1;
        }
        if (c.command == CMD_LIST_BUILDS)
            _display_builds(display, updater.Get_BuildList(params.deviceSerial), params.deviceSerial);
        else if (c.command == CMD_LIST_LOCAL_BUILDS)
            _display_builds(display, updater.Get_BuildListLocal(params.deviceSerial),
                            params.deviceSerial);
        else
            _display_jwt(display, updater.Get_JWT(params.deviceSerial));
        return 0;
    }

    _release_params(&params);
    return status;
}
