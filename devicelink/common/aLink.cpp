#include "aLink.h"

#include "aDebugging.h"
#include "aLinkManagerInternal.h"
#include "aTime.h"

#include <chrono>
#include <cstdio>

namespace {

constexpr uint32_t sPollMs = 10;             // status polls of start and sync
constexpr uint32_t sPollCount = 200;         // 2 s of them
constexpr uint32_t sIOErrorPauseMs = 100;    // between reads after a stream error
constexpr uint32_t sSyncSettleMs = 100;      // late replies to a burst, drained after sync
constexpr uint32_t sOutWaitMs = 100;         // transmit thread's wait, bounds how long a stop takes
constexpr uint32_t sResetAttempts = 20;
constexpr uint32_t sResetPauseMs = 100;
// A stream whose get reports "no byte" without waiting would make the receive thread spin and,
// while syncing, flood a silent module with bursts. Streams here wait about 100 ms (USB up to
// 1000 ms); these limits only ever matter for a bare stream that does not.
constexpr auto sQuickEmptyRead = std::chrono::milliseconds(1);
constexpr uint32_t sQuickEmptyPauseMs = 1;
constexpr auto sMinBurstInterval = std::chrono::milliseconds(90);

typedef std::chrono::steady_clock Clock;

bool sAlive(const aLinkRecord* r) { return r != nullptr && r->check.load() == aLINK_CHECK; }

aLinkRecordRef sGetLink(aLinkRef link) {
    aLinkRecordRef r = aLinkManager_GetLink(link);
    return sAlive(r.get()) ? r : nullptr;
}

uint8_t sSelectAll(const aPacket*, void*) { return 1; }

void sTracePacket(const char* what, const aPacket* p) {
    if (!aDebugging_On(aDEBUG_PACKETS))
        return;
    char hex[3 * aPACKET_MAX_DATA + 1] = "";
    for (uint8_t i = 0; i < p->dataSize && i < aPACKET_MAX_DATA; ++i)
        snprintf(hex + 3 * i, 4, " %02X", p->data[i]);
    aDebugging_Trace(aDEBUG_PACKETS, what, "addr %u len %u:%s", p->address, p->dataSize, hex);
}

aErr sQueue(aPacketFifoID fifo, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* p = aPacket_CreateWithData(address, length, length ? data : &none);
    if (p == nullptr)
        return aErrMemory;
    aErr e = aPacketFifo_Put(fifo, p);
    (void)aPacket_Destroy(&p);
    return e;
}

// ---- Receive side ------------------------------------------------------------------------

void sStartSync(aLinkRecord* r) {
    r->status = linkStatusSyncing;
    r->syncState = kSyncStateStart;
    (void)aPacket_Reset(r->rxPacket);
    aErr e = aErrNone;
    for (uint8_t i = 0; i < aLINK_SYNC_BURST && e == aErrNone; ++i)
        e = sQueue(r->outFifo, aLINK_ADDR_SYNC, 0, nullptr);
    if (e == aErrNone)
        r->syncState = kSyncStateByte1;
    aTRACE(aDEBUG_LINK, "link %u: sync burst", r->linkID);
}

// Waits for two empty packets from one module address in a row: A, 0, A, 0 with A even and
// non-zero.
void sSyncByte(aLinkRecord* r, uint8_t byte) {
    switch (r->syncState) {
    case kSyncStateStart:
        sStartSync(r);
        break;
    case kSyncStateByte1:
        if (byte != 0 && byte % 2 == 0) {
            r->syncAddress = byte;
            r->syncState = kSyncStateByte2;
        } else {
            sStartSync(r);
        }
        break;
    case kSyncStateByte2:
        r->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        break;
    case kSyncStateByte3:
        r->syncState = byte == r->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        break;
    case kSyncStateByte4:
        if (byte == 0) {
            r->syncState = kSyncStateIdle;
            (void)aPacket_Reset(r->rxPacket);
            r->status = linkStatusRunning;
            aTRACE(aDEBUG_LINK, "link %u: synced (module address %u)", r->linkID, r->syncAddress);
        } else {
            r->syncState = kSyncStateStart;
        }
        break;
    default:
        aTRACE(aDEBUG_LINK, "sync default");
        sStartSync(r);
        break;
    }
}

bool sIsHeartbeat(const aPacket* p) { return p->dataSize == 2 && p->data[0] == cmdHEARTBEAT; }

aErr sHandleHBBackChannel(aLinkRecord* r, const aPacket* p) {
    uint8_t value = p->data[1];
    if (value == 0)
        aTRACE(aDEBUG_PACKETS, "sending HB UP");
    else if (value == 1)
        aTRACE(aDEBUG_PACKETS, "sending HB DOWN");
    uint8_t answer[2] = {cmdHEARTBEAT, static_cast<uint8_t>(value + 2)};
    return sQueue(r->outFifo, p->address, 2, answer);
}

aErr sHandlePacket(aLinkRecord* r) {
    aPacket* p = r->rxPacket;
    sTracePacket("sHandlePacket", p);
    bool consumed = false;
    (void)aMutex_Lock(r->userFilterLock);
    if (r->userFilter != nullptr)
        consumed = r->userFilter(p, r->userFilterRef) == 1;
    (void)aMutex_Unlock(r->userFilterLock);
    aErr e = aErrNone;
    if (!consumed)
        e = sIsHeartbeat(p) ? sHandleHBBackChannel(r, p) : aPacketFifo_Put(r->inFifo, p);
    (void)aPacket_Reset(p);
    return e;
}

void sInPipeProcess(void* arg) {
    aLinkRecord* r = static_cast<aLinkRecord*>(arg);
    r->syncAddress = 1;
    r->syncState = kSyncStateIdle;
    r->inStarted = 1;
    r->status = linkStatusRunning;
    Clock::time_point lastBurst = Clock::now() - sMinBurstInterval;
    while (r->running) {
        uint8_t byte = 0;
        Clock::time_point readStart = Clock::now();
        aErr e = aStream_Read(r->stream, &byte, 1);
        if (e == aErrNotReady) {
            Clock::time_point now = Clock::now();
            if (r->status == linkStatusSyncing && now - lastBurst >= sMinBurstInterval) {
                sStartSync(r);
                lastBurst = now;
            }
            if (now - readStart < sQuickEmptyRead)
                aTime_MSSleep(sQuickEmptyPauseMs);
            continue;
        }
        if (e != aErrNone) {
            if (r->status != linkStatusIOError)
                aTRACE(aDEBUG_LINK, "link %u: read error %d", r->linkID, e);
            r->status = linkStatusIOError;
            aTime_MSSleep(sIOErrorPauseMs);
            continue;
        }
        if (r->status == linkStatusSyncing) {
            uint32_t before = r->syncState;
            sSyncByte(r, byte);
            if (r->syncState == kSyncStateByte1 && before != kSyncStateByte1)
                lastBurst = Clock::now();
            continue;
        }
        if (aPacket_AddByte(r->rxPacket, byte) != aErrNone) {
            aTRACE(aDEBUG_LINK, "Out of sync");
            sStartSync(r);
            lastBurst = Clock::now();
            continue;
        }
        if (aPacket_IsComplete(r->rxPacket) && sHandlePacket(r) != aErrNone)
            r->status = linkStatusError;
    }
}

// ---- Transmit side -----------------------------------------------------------------------

void sWritePacket(aLinkRecord* r, aPacket* p) {
    uint8_t frame[aPACKET_MAX_FRAME];
    uint8_t length = p->dataSize <= aPACKET_MAX_DATA ? p->dataSize : aPACKET_MAX_DATA;
    frame[0] = p->address;
    frame[1] = length;
    for (uint8_t i = 0; i < length; ++i)
        frame[2 + i] = p->data[i];
    aErr e = aStream_Write(r->stream, frame, length + 2u);
    if (e != aErrNone)
        aTRACE(aDEBUG_LINK, "sOutPipeProcess error writing: %d", e);
    else
        sTracePacket("sOutPipeProcess", p);
}

void sOutPipeProcess(void* arg) {
    aLinkRecord* r = static_cast<aLinkRecord*>(arg);
    r->outStarted = 1;
    while (r->running) {
        aPacket* p = aPacketFifo_Await(r->outFifo, sOutWaitMs);
        if (p == nullptr)
            continue;
        sWritePacket(r, p);
        (void)aPacket_Destroy(&p);
    }
    // What is still queued goes out in order: the final forced-route packet of a stop.
    while (aPacket* p = aPacketFifo_Get(r->outFifo)) {
        sWritePacket(r, p);
        (void)aPacket_Destroy(&p);
    }
}

// ---- Life cycle --------------------------------------------------------------------------

// With the control mutex held.
aErr sStart(aLinkRecord* r) {
    if (r->running)
        return aErrNone;
    if (r->stream == nullptr)
        return aErrParam;
    r->running = 1;
    r->status = linkStatusInitializing;
    r->inStarted = 0;
    r->outStarted = 0;
    r->inThread = aThread_Create(sInPipeProcess, r);
    if (r->inThread == nullptr)
        return aErrResource;
    r->outThread = aThread_Create(sOutPipeProcess, r);
    if (r->outThread == nullptr)
        return aErrResource;
    uint32_t polls = 0;
    while (!(r->inStarted && r->outStarted && r->status == linkStatusRunning)) {
        if (++polls > sPollCount)
            return aErrIndexRange;
        aTime_MSSleep(sPollMs);
    }
    aTRACE(aDEBUG_LINK, "link %u started", r->linkID);
    const uint8_t on = 1;
    return sQueue(r->outFifo, cmdFORCEROUTE, 1, &on);
}

// Stops the link and destroys its FIFOs and stream; with the control mutex held.
aErr sTearDown(aLinkRecord* r) {
    aErr stopped = aLink_Stop(r);
    aPacketFifoID in = r->inFifo.exchange(0);
    aPacketFifoID out = r->outFifo.exchange(0);
    // A link whose re-creation failed has no FIFOs left; that is no error of this teardown.
    if (in)
        (void)aPacketFifo_Destroy(&in);
    aErr e = out ? aPacketFifo_Destroy(&out) : aErrNone;
    if (r->stream)
        (void)aStream_Destroy(&r->stream);
    return stopped != aErrNone ? stopped : e;
}

aErr sRecreateStream(const aLinkEntryInfo& info, aStreamRef* stream) {
    switch (info.type) {
    case aLINK_TYPE_USB:
        aTRACE(aDEBUG_LINK, " recreate USB stream");
        return aStream_CreateUSB(info.identifier, stream);
    case aLINK_TYPE_TCPIP:
        aTRACE(aDEBUG_LINK, " recreate TCPIP stream");
        return aStream_CreateSocket(info.identifier, static_cast<uint16_t>(info.port), stream);
    default:
        aTRACE(aDEBUG_LINK, " recreate invalid stream type");
        return aErrParam;
    }
}

// Destroys a link that was never handed out (its use count may still be 0).
aLinkRef sAbandon(aLinkRef link) {
    (void)aLink_Destroy(&link);
    return 0;
}

// Makes an entry with a record initialised on `stream` and one holder; 0 on failure (the stream
// is destroyed with the link).
aLinkRef sCreateOn(aStreamRef stream, uint32_t identifier, uint32_t port, uint32_t type) {
    aLinkRef link = aLinkManager_CreateEntry(identifier, port, 0, type);
    if (link == 0) {
        (void)aStream_Destroy(&stream);
        return 0;
    }
    if (aLink_Init(link, stream) == 0)
        return sAbandon(link); // the record holds the stream now
    if (aLinkManager_ChangeUseCount(link, 1) != aErrNone)
        return sAbandon(link);
    return link;
}

int sBaudIndex(uint32_t baudRate) {
    static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int i = 0; i < 8; ++i)
        if (rates[i] == baudRate)
            return i;
    return -1;
}

} // namespace

// ---- Internal interface ------------------------------------------------------------------

aLinkRef aLink_Init(aLinkRef link, aStreamRef stream) {
    aLinkRecordRef r = aLinkManager_GetLink(link);
    if (!r)
        return 0;
    // From here on the stream is the record's, whatever happens.
    r->linkID = link;
    r->running = 0;
    r->stream = stream;
    r->status = stream ? linkStatusStopped : linkStatusInvalid;
    r->inFifo = aPacketFifo_Create();
    r->outFifo = aPacketFifo_Create();
    r->inThread = r->outThread = nullptr;
    r->inStarted = r->outStarted = 0;
    if (r->rxPacket == nullptr)
        r->rxPacket = aPacket_Create();
    else
        (void)aPacket_Reset(r->rxPacket);
    if (r->userFilterLock == nullptr) {
        char name[64];
        snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(r.get()));
        r->userFilterLock = aMutex_Create(name);
    }
    if (r->userFilterLock != nullptr) {
        (void)aMutex_Lock(r->userFilterLock);
        r->userFilter = nullptr;
        r->userFilterRef = nullptr;
        (void)aMutex_Unlock(r->userFilterLock);
    }
    if (r->inFifo == 0 || r->outFifo == 0 || r->rxPacket == nullptr || r->userFilterLock == nullptr)
        return 0;
    r->check = aLINK_CHECK;
    return link;
}

aErr aLink_Stop(aLinkRecord* r) {
    if (r == nullptr)
        return aErrParam;
    uint32_t status = r->status;
    if (status == linkStatusStopping || status == linkStatusStopped)
        return aErrNone;
    r->status = linkStatusStopping;
    aErr result = aErrNone;
    if (r->inThread || r->outThread) {
        // Queued directly, not through the table: a link being destroyed is already out of it,
        // and the routing module should still be released.
        const uint8_t off = 0;
        if (r->outThread)
            (void)sQueue(r->outFifo, cmdFORCEROUTE, 1, &off);
        r->running = 0;
        if (r->inThread && aThread_Destroy(&r->inThread) != aErrNone)
            result = aErrUnknown;
        if (r->outThread && aThread_Destroy(&r->outThread) != aErrNone)
            result = aErrUnknown;
        r->inStarted = r->outStarted = 0;
        (void)aPacket_Reset(r->rxPacket);
    }
    r->running = 0;
    r->status = r->stream ? linkStatusStopped : linkStatusInvalid;
    aTRACE(aDEBUG_LINK, "link %u stopped", r->linkID);
    return result;
}

// ---- Public interface --------------------------------------------------------------------

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
    if (serialNumber == 0)
        return 0;
    aLinkCreateGuard guard(aLINK_TYPE_USB, serialNumber, 0);
    if (aLinkRef shared = aLinkManager_Share(aLINK_TYPE_USB, serialNumber, 0))
        return shared;
    aStreamRef stream = nullptr;
    aErr e = aStream_CreateUSB(serialNumber, &stream);
    if (e != aErrNone) {
        aTRACE(aDEBUG_LINK, "USB stream for %08X: %d", serialNumber, e);
        return 0;
    }
    aLinkRef link = sCreateOn(stream, serialNumber, 0, aLINK_TYPE_USB);
    if (link == 0)
        return 0;
    if (aLink_Start(link) != aErrNone || aLink_Sync(link) != aErrNone ||
        aLink_ForceRoute(link, 1) != aErrNone)
        return sAbandon(link);
    return link;
}

aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port) {
    aLinkCreateGuard guard(aLINK_TYPE_TCPIP, address, port);
    if (aLinkRef shared = aLinkManager_Share(aLINK_TYPE_TCPIP, address, port))
        return shared;
    aStreamRef stream = nullptr;
    aErr e = aStream_CreateSocket(address, port, &stream);
    if (e != aErrNone) {
        aTRACE(aDEBUG_LINK, "TCP/IP stream: %d", e);
        return 0;
    }
    aLinkRef link = sCreateOn(stream, address, port, aLINK_TYPE_TCPIP);
    if (link == 0)
        return 0;
    if (aLink_Start(link) != aErrNone)
        return sAbandon(link);
    return link;
}

aLinkRef aLink_CreateSerial(uint32_t key, const char* path, uint32_t baudRate) {
    int baudIndex = sBaudIndex(baudRate);
    if (baudIndex < 0 || path == nullptr)
        return 0;
    aLinkCreateGuard guard(aLINK_TYPE_SERIAL, key, 0);
    if (aLinkRef shared = aLinkManager_Share(aLINK_TYPE_SERIAL, key, 0))
        return shared;
    aStreamRef stream = nullptr;
    aErr e = aStream_CreateSerial(path, static_cast<uint32_t>(baudIndex), false, 0, 0, &stream);
    if (e != aErrNone) {
        aTRACE(aDEBUG_LINK, "serial stream on %s: %d", path, e);
        return 0;
    }
    aLinkRef link = sCreateOn(stream, key, 0, aLINK_TYPE_SERIAL);
    if (link != 0 && aLink_Start(link) != aErrNone) {
        aTRACE(aDEBUG_LINK, " error creating USB Link, destroying the id (%d)\n", link);
        return sAbandon(link);
    }
    return link;
}

aLinkRef aLink_Create(aStreamRef stream) {
    if (stream == nullptr)
        return 0;
    aLinkRef link = sCreateOn(stream, aLINK_IDENTIFIER_STREAM, 0, aLINK_TYPE_STREAM);
    if (link != 0 && aLink_Start(link) != aErrNone)
        return sAbandon(link);
    return link;
}

aErr aLink_Destroy(aLinkRef* link) {
    if (link == nullptr)
        return aErrParam;
    aLinkRef id = *link;
    *link = 0;
    bool last = false;
    aLinkRecordRef r;
    aLinkEntryInfo info;
    if (aLinkManager_Release(id, &last, &r, &info) != aErrNone)
        return aErrParam;
    if (!last)
        return aErrNone;
    if (!r)
        return aErrUnknown;
    aErr result;
    {
        std::lock_guard<std::mutex> hold(r->control);
        if (r->userFilterLock) {
            (void)aMutex_Lock(r->userFilterLock);
            r->userFilter = nullptr;
            r->userFilterRef = nullptr;
            (void)aMutex_Unlock(r->userFilterLock);
        }
        r->check = 0;
        result = sTearDown(r.get());
    }
    if (info.subLinkID != 0) {
        aLinkRef sub = info.subLinkID;
        (void)aLink_Destroy(&sub);
    }
    aTRACE(aDEBUG_LINK, "link %u destroyed", id);
    return result;
}

aErr aLink_Start(aLinkRef link) {
    aLinkRecordRef r = sGetLink(link);
    if (!r)
        return aErrParam;
    std::lock_guard<std::mutex> hold(r->control);
    if (!sAlive(r.get()))
        return aErrParam;
    return sStart(r.get());
}

aErr aLink_Sync(aLinkRef link) {
    aLinkRecordRef r = sGetLink(link);
    if (!r)
        return aErrParam;
    aTRACE(aDEBUG_LINK, "link %u: sync requested", link);
    r->status = linkStatusSyncing;
    aErr result = aErrNotReady;
    for (uint32_t i = 0; i < sPollCount; ++i) {
        if (r->status == linkStatusRunning) {
            result = aErrNone;
            break;
        }
        aTime_MSSleep(sPollMs);
    }
    // Neither the rest of the bursts nor their late replies may reach later readers.
    (void)aPacketFifo_DrainPackets(r->outFifo, sSelectAll, nullptr);
    aTime_MSSleep(sSyncSettleMs);
    (void)aPacketFifo_DrainPackets(r->inFifo, sSelectAll, nullptr);
    aTRACE(aDEBUG_LINK, "link %u: sync %s", link, result == aErrNone ? "done" : "timed out");
    return result;
}

aErr aLink_ForceRoute(aLinkRef link, uint8_t value) {
    aLinkEntryInfo info;
    if (!aLinkManager_GetEntry(link, &info))
        return aErrNotFound;
    aLinkRecordRef r = sGetLink(link);
    if (!r)
        return aErrParam;
    return sQueue(r->outFifo, cmdFORCEROUTE, 1, &value);
}

aErr aLink_Reset(aLinkRef link) {
    aLinkRecordRef r = sGetLink(link);
    aLinkEntryInfo info;
    if (!r || !aLinkManager_GetEntry(link, &info))
        return aErrParam;
    std::lock_guard<std::mutex> hold(r->control);
    if (!sAlive(r.get()))
        return aErrParam;
    (void)sTearDown(r.get());
    aStreamRef stream = nullptr;
    aErr e = aErrParam;
    for (uint32_t attempt = 0; attempt < sResetAttempts; ++attempt) {
        e = sRecreateStream(info, &stream);
        if (e == aErrNone)
            break;
        aTime_MSSleep(sResetPauseMs);
    }
    if (e != aErrNone) {
        aTRACE(aDEBUG_LINK, " ERROR - could not recreate stream: %d\n", e);
        r->status = linkStatusStopped;
        return e;
    }
    if (aLink_Init(link, stream) == 0)
        return aErrMemory;
    return sStart(r.get());
}

linkStatus aLink_GetStatus(aLinkRef link) {
    aLinkRecordRef r = sGetLink(link);
    return r ? static_cast<linkStatus>(r->status.load()) : linkStatusInvalid;
}

aErr aLink_PutPacket(aLinkRef link, const aPacket* packet) {
    aLinkRecordRef r = sGetLink(link);
    if (!r)
        return aErrParam;
    return aPacketFifo_Put(r->outFifo, packet);
}

aPacket* aLink_GetPacket(aLinkRef link) {
    aLinkRecordRef r = sGetLink(link);
    return r ? aPacketFifo_Get(r->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs) {
    aLinkRecordRef r = sGetLink(link);
    return r ? aPacketFifo_Await(r->inFifo, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter filter, void* ref) {
    aLinkRecordRef r = sGetLink(link);
    return r ? aPacketFifo_GetFirst(r->inFifo, filter, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter filter, void* ref, uint32_t timeoutMs) {
    aLinkRecordRef r = sGetLink(link);
    if (!r)
        return nullptr;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    aPacket* found = nullptr;
    for (;;) {
        if (found || !r->running || r->status != linkStatusRunning || !sAlive(r.get()))
            break;
        Clock::time_point now = Clock::now();
        if (now >= deadline)
            break;
        auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        found = aPacketFifo_AwaitFirst(r->inFifo, filter, ref, static_cast<uint32_t>(remaining));
    }
    return found;
}

size_t aLink_DrainPackets(aLinkRef link, aPacketFilter filter, void* ref) {
    aLinkRecordRef r = sGetLink(link);
    return r ? aPacketFifo_DrainPackets(r->inFifo, filter, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter, void* ref) {
    aLinkRecordRef r = sGetLink(link);
    if (!r || r->userFilterLock == nullptr)
        return aErrParam;
    (void)aMutex_Lock(r->userFilterLock);
    r->userFilter = filter;
    r->userFilterRef = ref;
    (void)aMutex_Unlock(r->userFilterLock);
    return aErrNone;
}
