#include "zBeaconInterface.h"

#include "aCzmq.h"
#include "aDebugging.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

// The interface lock with its owner, so that a second lock from the owner is refused and a
// stray unlock is harmless.
struct sInterfaceLock {
    std::mutex mutex;
    std::condition_variable released;
    bool held = false;
    std::thread::id owner;
    std::string backup;

    sInterfaceLock() { backup.reserve(100); }
};

sInterfaceLock& sState() {
    aCzmq_Prepare();
    static sInterfaceLock state;
    return state;
}

bool sLock() {
    sInterfaceLock& state = sState();
    std::unique_lock<std::mutex> guard(state.mutex);
    if (state.held && state.owner == std::this_thread::get_id()) {
        aTRACE(aDEBUG_BEACON, "lock already held by this thread");
        return false;
    }
    state.released.wait(guard, [&] { return !state.held; });
    state.held = true;
    state.owner = std::this_thread::get_id();
    return true;
}

bool sHeldByMe() {
    sInterfaceLock& state = sState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return state.held && state.owner == std::this_thread::get_id();
}

void sUnlock() {
    sInterfaceLock& state = sState();
    {
        std::lock_guard<std::mutex> guard(state.mutex);
        if (!state.held || state.owner != std::this_thread::get_id())
            return;
        state.held = false;
        state.owner = std::thread::id();
    }
    state.released.notify_one();
}

bool sValidInterface(const char* interface) {
    if (!interface)
        return false;
    in_addr address{};
    return interface[0] == '\0' || strcmp(interface, "*") == 0 ||
           inet_pton(AF_INET, interface, &address) == 1;
}

const char* sCopy(const char* text) {
    thread_local std::string copy;
    copy = text ? text : "";
    return copy.c_str();
}

bool sSetAndLock(const char* interface, bool backup) {
    if (!sValidInterface(interface) || !sLock())
        return false;
    if (backup) {
        sInterfaceLock& state = sState();
        std::lock_guard<std::mutex> guard(state.mutex);
        state.backup = zsys_interface();
    }
    zsys_set_interface(interface);
    aTRACE(aDEBUG_BEACON, "beacon interface \"%s\"", interface);
    return true;
}

} // namespace

bool zBeaconInterface_setAndLock(const char* interface) { return sSetAndLock(interface, false); }

bool zBeaconInterface_backupSetAndLock(const char* interface) {
    return sSetAndLock(interface, true);
}

void zBeaconInterface_unlock() { sUnlock(); }

void zBeaconInterface_restoreAndUnlock() {
    if (!sHeldByMe())
        return;
    // Only the holder changes the backup, so reading it here needs no further guard.
    const std::string& backup = sState().backup;
    zsys_set_interface(backup.c_str());
    aTRACE(aDEBUG_BEACON, "beacon interface restored to \"%s\"", backup.c_str());
    sUnlock();
}

const char* zBeaconInterface_get() {
    aCzmq_Prepare();
    return sCopy(zsys_interface());
}

const char* zBeaconInterface_getAndLock() {
    return sLock() ? sCopy(zsys_interface()) : nullptr;
}

const char* zBeaconInterface_getBackup() {
    sInterfaceLock& state = sState();
    std::lock_guard<std::mutex> guard(state.mutex);
    return sCopy(state.backup.c_str());
}

const char* zBeaconInterface_getBackupAndLock() {
    return sLock() ? zBeaconInterface_getBackup() : nullptr;
}
