#include "aPacketDebug.h"

#include "aTime.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

struct aPacketLog {
    uint16_t check;
    uint8_t* buffer;
    uint32_t size;
    uint32_t head; // oldest record
    uint32_t tail; // one past the newest record
};

namespace {

constexpr uint16_t sCHECK = 0xD1A6;

bool aVALIDPACKETLOG(const aPacketLog* ring) { return ring && ring->check == sCHECK; }

uint32_t sUsed(const aPacketLog* ring) {
    return (ring->tail + ring->size - ring->head) % ring->size;
}

void sStore(aPacketLog* ring, uint8_t byte) {
    ring->buffer[ring->tail] = byte;
    ring->tail = (ring->tail + 1) % ring->size;
}

void sDropOldest(aPacketLog* ring) {
    uint32_t length = ring->buffer[(ring->head + 1) % ring->size];
    ring->head = (ring->head + 2 + length) % ring->size;
}

// Runs fn on the ring under the log lock; aErrNotReady without a ring.
template <typename Fn> aErr sUnderLock(aLinkPacketLog* log, Fn fn) {
    if (!log)
        return aErrParam;
    aPacketLog* ring = log->packetLog.load(std::memory_order_acquire);
    if (!ring)
        return aErrNotReady;
    if (aMutex_Lock(log->logLock) != aErrNone)
        return aErrResource;
    aErr result = fn(ring);
    (void)aMutex_Unlock(log->logLock);
    return result;
}

} // namespace

aPacketLog* aPacketLog_Create(uint32_t size) {
    if (size == 0)
        return nullptr;
    auto* ring = static_cast<aPacketLog*>(calloc(1, sizeof(aPacketLog)));
    if (!ring)
        return nullptr;
    ring->buffer = static_cast<uint8_t*>(malloc(size));
    if (!ring->buffer) {
        free(ring);
        return nullptr;
    }
    ring->size = size;
    ring->check = sCHECK;
    return ring;
}

aErr aPacketLog_Put(aPacketLog* ring, uint8_t direction, uint32_t length, const uint8_t* bytes) {
    if (!aVALIDPACKETLOG(ring) || (length > 0 && !bytes))
        return aErrParam;
    if (length > aPACKETLOG_MAX_RECORD)
        return aErrSize;
    if (length + 2 >= ring->size)
        return aErrOverrun;
    while (length + 2 >= ring->size - sUsed(ring))
        sDropOldest(ring);
    sStore(ring, direction);
    sStore(ring, uint8_t(length));
    for (uint32_t i = 0; i < length; ++i)
        sStore(ring, bytes[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* ring, uint8_t* direction, uint32_t* length, uint8_t* buffer) {
    if (!aVALIDPACKETLOG(ring) || !direction || !length || !buffer)
        return aErrParam;
    if (ring->head == ring->tail)
        return aErrNotFound;
    uint32_t capacity = *length;
    uint32_t recordLength = ring->buffer[(ring->head + 1) % ring->size];
    *length = recordLength;
    if (recordLength > capacity)
        return aErrOverrun;
    *direction = ring->buffer[ring->head];
    uint32_t at = (ring->head + 2) % ring->size;
    for (uint32_t i = 0; i < recordLength; ++i) {
        buffer[i] = ring->buffer[at];
        at = (at + 1) % ring->size;
    }
    ring->head = at;
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** ring) {
    if (!ring)
        return aErrParam;
    if (!*ring)
        return aErrNone;
    if (!aVALIDPACKETLOG(*ring))
        return aErrParam;
    (*ring)->check = 0;
    free((*ring)->buffer);
    free(*ring);
    *ring = nullptr;
    return aErrNone;
}

aErr aPacketDebug_FormatLine(uint8_t direction, uint32_t length, const uint8_t* bytes, char* line,
                             size_t size, size_t* lineLength) {
    if ((length > 0 && !bytes) || !line || !lineLength || length > aPACKETLOG_MAX_RECORD ||
        size < aPACKETLOG_MAX_LINE)
        return aErrParam;
    size_t n = size_t(snprintf(line, size, "%u %s ", length,
                               direction == aPACKETLOG_SENT ? ">" : "<"));
    for (uint32_t i = 0; i < length; ++i) {
        if (direction == aPACKETLOG_NOTE)
            line[n++] = char(bytes[i]);
        else
            n += size_t(snprintf(line + n, size - n, "0x%X ", bytes[i]));
    }
    line[n++] = '\r';
    line[n++] = '\n';
    *lineLength = n;
    return aErrNone;
}

aErr aPacketDebug_WriteLine(aFileRef file, uint8_t direction, uint32_t length,
                            const uint8_t* bytes) {
    if (!aVALIDFILE(file))
        return aErrParam;
    char line[aPACKETLOG_MAX_LINE + 1];
    size_t lineLength = 0;
    aErr e = aPacketDebug_FormatLine(direction, length, bytes, line, sizeof line, &lineLength);
    if (e != aErrNone)
        return e;
    // One write per line, so that a reader never sees half a line.
    return aFile_Write(file, line, lineLength, nullptr);
}

void aLinkPacketLog_Record(aLinkPacketLog* log, uint8_t direction, const aPacket* packet) {
    if (!log || !aVALIDPACKET(packet) || !log->packetLog.load(std::memory_order_acquire))
        return;
    uint8_t bytes[2 + aPACKET_MAX_DATA];
    uint32_t length = packet->dataSize <= aPACKET_MAX_DATA ? packet->dataSize : aPACKET_MAX_DATA;
    bytes[0] = packet->address;
    bytes[1] = uint8_t(length);
    memcpy(bytes + 2, packet->data, length);
    (void)sUnderLock(log, [&](aPacketLog* ring) {
        return aPacketLog_Put(ring, direction, length + 2, bytes);
    });
}

void aLinkPacketLog_Release(aLinkPacketLog* log) {
    if (!log)
        return;
    std::lock_guard<std::mutex> guard(log->setup);
    aPacketLog* ring = log->packetLog.exchange(nullptr);
    (void)aPacketLog_Destroy(&ring);
    if (log->logLock)
        (void)aMutex_Destroy(&log->logLock);
    log->logSize = 0;
}

aErr aLinkPacketLog_SetLogSize(aLinkPacketLog* log, int32_t size) {
    if (!log || size > aPACKETLOG_MAX_SIZE)
        return aErrParam;
    std::lock_guard<std::mutex> guard(log->setup);
    if (log->packetLog.load())
        return aErrBusy;
    log->logSize = size < 0 ? 0 : uint32_t(size);
    return aErrNone;
}

aErr aLinkPacketLog_Enable(aLinkPacketLog* log) {
    if (!log)
        return aErrParam;
    std::lock_guard<std::mutex> guard(log->setup);
    if (log->packetLog.load())
        return aErrNone;
    if (!log->logLock) {
        char name[64];
        snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(log));
        log->logLock = aMutex_Create(name);
        if (!log->logLock)
            return aErrResource;
    }
    aPacketLog* ring = aPacketLog_Create(log->logSize ? log->logSize : aPACKETLOG_DEFAULT_SIZE);
    if (!ring)
        return aErrResource;
    log->packetLog.store(ring, std::memory_order_release);
    return aErrNone;
}

aErr aLinkPacketLog_Disable(aLinkPacketLog* log) {
    if (!log)
        return aErrParam;
    return log->packetLog.load() ? aErrNone : aErrNotReady;
}

aErr aLinkPacketLog_Read(aLinkPacketLog* log, uint8_t* direction, uint32_t* length,
                         uint8_t* buffer) {
    return sUnderLock(log, [&](aPacketLog* ring) {
        return aPacketLog_Get(ring, direction, length, buffer);
    });
}

aErr aLinkPacketLog_Write(aLinkPacketLog* log, uint8_t direction, uint32_t length,
                          const uint8_t* bytes) {
    return sUnderLock(log, [&](aPacketLog* ring) {
        return aPacketLog_Put(ring, direction, length, bytes);
    });
}

void aLinkPacketLog_WriteNext(aLinkPacketLog* log, aFileRef file) {
    uint8_t direction = 0;
    uint8_t buffer[aPACKETLOG_MAX_RECORD];
    uint32_t length = sizeof buffer;
    if (aLinkPacketLog_Read(log, &direction, &length, buffer) == aErrNone)
        (void)aPacketDebug_WriteLine(file, direction, length, buffer);
    else
        aTime_MSSleep(5);
}
