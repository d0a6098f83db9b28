// The link table and the link record: internal to the library (the engine and, later, the
// shared-device server, which works on a served link's FIFOs directly).
//
// The table is a list of entries, newest first, guarded by the mutex "aLink_Managed". Every
// table function holds that mutex for its whole duration and never while calling out. An entry
// owns a shared reference to its link record; a lookup hands out another, so a record outlives
// every operation running on it even when its link is destroyed meanwhile. A destroyed record
// has its check word cleared: operations that still hold it see that and give up.
#ifndef KORVEL_ALINKMANAGERINTERNAL_H
#define KORVEL_ALINKMANAGERINTERNAL_H

#include "aLink.h"
#include "aMutex.h"
#include "aThread.h"

#include <atomic>
#include <memory>
#include <mutex>

constexpr uint16_t aLINK_CHECK = 0xCEED;

// Entry types: the connection types of link specifiers; 0 for a link made from a bare stream.
constexpr uint32_t aLINK_TYPE_STREAM = 0;
constexpr uint32_t aLINK_TYPE_USB = 1;
constexpr uint32_t aLINK_TYPE_TCPIP = 2;
constexpr uint32_t aLINK_TYPE_SERIAL = 3;
constexpr uint32_t aLINK_TYPE_CLIENT = 4;

// Device key of links made from a bare stream.
constexpr uint32_t aLINK_IDENTIFIER_STREAM = 0xFFFFFFFF;

// States of the synchronisation machine.
enum aLinkSyncState : uint32_t {
    kSyncStateIdle = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2, // expecting the module address
    kSyncStateByte2 = 3, // expecting length 0
    kSyncStateByte3 = 4, // expecting the same address again
    kSyncStateByte4 = 5, // expecting length 0 again
};

struct aLinkRecord {
    std::atomic<uint16_t> check{0};
    aLinkRef linkID = 0;
    std::atomic<uint8_t> running{0};            // the threads keep going while 1
    std::atomic<uint32_t> status{linkStatusInvalid};
    std::atomic<aPacketFifoID> inFifo{0};       // from the module, for readers
    aPacket* rxPacket = nullptr;                // receive thread only while it runs
    std::atomic<aPacketFifoID> outFifo{0};      // for the module, emptied by the transmit thread
    aThreadRef inThread = nullptr;
    aThreadRef outThread = nullptr;
    std::atomic<uint8_t> inStarted{0};
    std::atomic<uint8_t> outStarted{0};
    aStreamRef stream = nullptr;                // read by the receive thread, written by the
                                                // transmit thread; replaced only while stopped
    uint32_t syncState = kSyncStateIdle;        // receive thread only
    uint8_t syncAddress = 0;                    // receive thread only
    aPacketFilter userFilter = nullptr;         // both guarded by userFilterLock
    void* userFilterRef = nullptr;
    aMutexRef userFilterLock = nullptr;         // "aLink(%p)->userFilterSema"
    // Serialises start, stop, reset and teardown of this record: they replace the threads, the
    // stream and the FIFOs. Never taken by the link's own threads.
    std::mutex control;

    ~aLinkRecord();
};
typedef std::shared_ptr<aLinkRecord> aLinkRecordRef;

// What the table knows about a link besides its record.
struct aLinkEntryInfo {
    aLinkRef id = 0;
    aLinkRef subLinkID = 0;   // a link destroyed together with this one, or 0
    uint32_t identifier = 0;  // serial number, IPv4 address (network order) or 0xFFFFFFFF
    uint32_t port = 0;        // TCP port, 0 for other kinds
    uint32_t clientIndex = 0;
    uint32_t type = aLINK_TYPE_STREAM;
    int16_t useCount = 0;
};

// New entry with a zeroed record at the head of the table (sCreate2). Its identifier, or 0 when
// memory runs out.
aLinkRef aLinkManager_CreateEntry(uint32_t identifier, uint32_t port, uint32_t clientIndex,
                                  uint32_t type);

// The record of a registered link (sGetLink); null when unregistered.
aLinkRecordRef aLinkManager_GetLink(aLinkRef link);

// A copy of the entry's fields; false when unregistered.
bool aLinkManager_GetEntry(aLinkRef link, aLinkEntryInfo* info);

// Finds the link of a device (same type, key and port) and adds one holder in the same step.
// Its identifier, or 0 when there is none.
aLinkRef aLinkManager_Share(uint32_t type, uint32_t identifier, uint32_t port);

// Adds delta to the use count (sChangeUseCount). aErrParam when unregistered.
aErr aLinkManager_ChangeUseCount(aLinkRef link, int16_t delta);

// Records the link destroyed together with this one. aErrParam when unregistered.
aErr aLinkManager_SetSubLink(aLinkRef link, aLinkRef subLink);

// Drops one holder. When that was the last (the count reaches zero or below) the entry is taken
// out of the table in the same step, *record receives its record and *info its fields.
//   aErrParam  unregistered; otherwise aErrNone, with *last telling which case it was
aErr aLinkManager_Release(aLinkRef link, bool* last, aLinkRecordRef* record,
                          aLinkEntryInfo* info);

// Number of entries in the table.
size_t aLinkManager_Count();

// Serialises the creation of links to one device: while a guard for (type, key, port) lives,
// another guard for the same device waits. So two threads opening one module concurrently end
// up sharing one link instead of opening it twice.
class aLinkCreateGuard {
public:
    aLinkCreateGuard(uint32_t type, uint32_t identifier, uint32_t port);
    ~aLinkCreateGuard();
    aLinkCreateGuard(const aLinkCreateGuard&) = delete;
    aLinkCreateGuard& operator=(const aLinkCreateGuard&) = delete;

private:
    uint32_t mType, mIdentifier, mPort;
    bool mHeld = false;
};

// Fills the record of a new entry (or re-fills it after its stream was re-created): check word,
// status stopped (invalid without a stream), new FIFOs and receive packet, no user filter.
// Returns the identifier, or 0 when the entry or something it needs is missing.
aLinkRef aLink_Init(aLinkRef link, aStreamRef stream);

// Stops the record's threads; the forced route is switched off on the way out. Called with the
// record's control mutex held. aErrUnknown when a thread could not be joined.
aErr aLink_Stop(aLinkRecord* record);

#endif
