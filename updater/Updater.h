// The one object through which the command line carries out every command.
//
// It holds no connection, open file or store between operations: each operation opens what it
// needs and releases it before returning. Operations report failure through the display and a
// plain result; nothing escapes to main as an exception. Used from the main thread only (a
// download runs its server request on a worker thread of its own and joins it).
#ifndef KORVEL_UPDATER_H
#define KORVEL_UPDATER_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Fingerprint.h"
#include "UpdateServerRequest.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"

class Updater {
public:
    // Boot loader that answered the last fingerprint request.
    enum BootLoaderKind : uint8_t { BOOT_NONE = 0, BOOT_SERIAL_DOWNLOAD = 1, BOOT_SERIAL_ISP = 2 };

    // Copies both texts (null reads as empty); keeps the display by reference, not owned.
    Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display);

    const std::string& serverUrl() const { return _serverUrl; }
    const std::string& storeDirectory() const { return _storeDirectory; }
    uint8_t bootLoaderKind() const { return _bootLoaderKind; }

    // Downloads one build's BIRD file into the device's store folder as BUILD.bird and records
    // LATEST_DOWNLOAD and LAST_DOWNLOAD_DATE. An empty build (or "0") means the server's
    // latest. Returns the build number, 0 after a failure (shown on the display). Nothing is
    // written or recorded unless the whole image arrived, decoded and was stored.
    uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool override,
                               bool noCal);
    // The same for a module known only by its processor fingerprint: the server names the
    // serial number and, when build reads as 0, the build.
    uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& build,
                               bool override);
    // The builds the server offers for the device; empty after a failure.
    BuildList Get_BuildList(uint32_t serial);
    // The builds in the device's store folder, with the version of each readable BIRD file.
    BuildList Get_BuildListLocal(uint32_t serial);
    // The token describing the device's software features; empty after a failure.
    std::string Get_JWT(uint32_t serial);

private:
    // Pings the server, then runs the request on its URL; shows "Server request failed for
    // URL" or the failure text (a format taking the serial number) and answers false.
    bool _ask_server(const char* failure, uint32_t serial,
                     const std::function<bool(const char*)>& request);
    // The server lists build for the device.
    static bool _valid_build(uint32_t serial, uint32_t build, const char* serverUrl);
    // The store on directory, or none after showing why (with the caller's name).
    static std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                             const std::string& directory,
                                                             const char* caller);

    std::string _serverUrl;
    std::string _storeDirectory;
    UpdaterDisplayInterface& _display;
    uint8_t _bootLoaderKind = BOOT_NONE;
};

#endif
