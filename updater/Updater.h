// The one object through which the command line carries out every command.
//
// It holds no connection, open file or store between operations: each operation opens what it
// needs and releases it before returning. Operations report failure through the display and a
// plain result; nothing escapes to main as an exception. Used from the main thread only.
#ifndef KORVEL_UPDATER_H
#define KORVEL_UPDATER_H

#include <cstdint>
#include <string>

#include "UpdaterDisplayInterface.h"

class Updater {
public:
    // Boot loader that answered the last fingerprint request.
    enum BootLoaderKind : uint8_t { BOOT_NONE = 0, BOOT_SERIAL_DOWNLOAD = 1, BOOT_SERIAL_ISP = 2 };

    // Copies both texts (null reads as empty); keeps the display by reference, not owned.
    Updater(const char* serverUrl, const char* storeDirectory, UpdaterDisplayInterface& display);

    const std::string& serverUrl() const { return _serverUrl; }
    const std::string& storeDirectory() const { return _storeDirectory; }
    uint8_t bootLoaderKind() const { return _bootLoaderKind; }

private:
    std::string _serverUrl;
    std::string _storeDirectory;
    [[maybe_unused]] UpdaterDisplayInterface& _display; // used by the operations
    uint8_t _bootLoaderKind = BOOT_NONE;
};

#endif
