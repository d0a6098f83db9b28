// The private record of a Link, shared by the files that implement it (Link.cpp: connection,
// packets, UEI; LinkStorage.cpp: data slots and factory data; LinkStreams.cpp: streams).
#ifndef KORVEL_LINKIMPL_H
#define KORVEL_LINKIMPL_H

#include "Link.h"
#include "LocklessQueue.h"
#include "aLogger.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace Olvarin {
namespace Korvel {

constexpr uint32_t kLinkReplyWaitMs = 1000;

// One entry of the stream table: a subscription (a key with wildcards) or a value.
struct StreamEntry {
    uint64_t key = 0;
    bool fresh = false;
    Link::streamCallback callback = nullptr;
    void* reference = nullptr;
    uint32_t value = 0;
};

// One callback waiting for the callback thread; owns its packet copy until the callback ran.
struct asyncPacket {
    Link::streamCallback callback = nullptr;
    void* reference = nullptr;
    aPacket* packet = nullptr;
};

constexpr uint16_t kCallbackQueueCapacity = 500; // 499 waiting callbacks

// What one run of the callback thread works on. The thread holds it too, so a run that is
// left to finish by itself (a removal from inside a callback) never touches the Link.
struct CallbackRun {
    LocklessQueue_SPSC<asyncPacket> queue{kCallbackQueueCapacity};
    std::atomic<bool> stop{false};
    ~CallbackRun(); // releases the packets of items never run
};

struct Link::impl {
    Link* owner = nullptr;
    std::atomic<aLinkRef> linkID{0};
    aLoggerRef logger = nullptr; // the packet-log writer, made on first enable
    aLinkRef loggerLink = 0;     // the engine link it writes the log of
    VeluneConfig config;

    // Stream table and the callback run, guarded by streamLock (taken by the receive thread's
    // filter under the engine's user-filter lock, so never held while calling the engine).
    std::mutex streamLock;
    std::map<uint64_t, StreamEntry> streamTable;
    std::shared_ptr<CallbackRun> callbacks; // the running callback thread's, or none
    // Serialises subscription changes, installing and removing the filter; never held while
    // waiting for the callback thread (a callback may subscribe).
    std::mutex controlLock;
    bool filterInstalled = false; // under controlLock
    std::thread callbackThread;   // under controlLock

    std::string name;
    linkSpec* storedSpecifier = nullptr;

    // Streams (LinkStreams.cpp). The *Locked ones run with controlLock held.
    // Installs the stream filter (when not installed) and starts the callback thread.
    //   aErrConnection without an engine link; aErrMemory/aErrResource: no queue or thread
    aErr installFilterLocked();
    // Clears the engine's user filter, empties the table and signals the callback thread to
    // stop; returns the thread, which the caller joins once controlLock is released.
    std::thread removeFilterLocked();
    // Installs or removes the filter as the table is now non-empty or empty.
    aErr updateFilterLocked(std::thread* retired);
    // removeFilterLocked, then waits for the callback thread (unless called on it).
    void removeStreamFilter();
    // Tells a connected module to stop every subscription in the table, then removes the filter.
    void removeSubscriptions();
    // After an engine reset: the engine link lost its user filter.
    void restoreStreamFilter();
};

} // namespace Korvel
} // namespace Olvarin

#endif
