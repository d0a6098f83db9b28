// Link: data slots (command 4) and factory data (command 94).
//
// Slot requests carry a sub-code after the command; replies repeat it (bit 7 set for an error)
// and the keys of the request: store and slot for sub-codes 1 to 4, the handle for 6 to 8.
// The error code follows the keys. The module address of a reply is not compared.
#include "Link.h"

#include "LinkImpl.h"

#include <algorithm>
#include <cstring>

namespace Olvarin {
namespace Korvel {

namespace {

constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr uint8_t kReplyError = 0x80;
constexpr size_t kSlotChunk = 25; // bytes per write request (28 - command, sub-code, handle)
constexpr uint32_t kSlotOpenWaitMs = 3000;

constexpr uint8_t kFactoryTypeMask = 0x0F;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr size_t kFactoryPiece = 26;      // bytes per packet (28 - command, type)
constexpr uint8_t kFactoryFullReply = 28; // a full piece: more follow

struct sSlotReply {
    uint8_t sub;
    uint8_t keys[2];
    uint8_t keyCount;
};

uint8_t sSlotFilter(const aPacket* p, void* ref) {
    auto* r = static_cast<const sSlotReply*>(ref);
    if (p->dataSize < 2u + r->keyCount || p->data[0] != cmdSLOT || (p->data[1] & ~kReplyError) != r->sub)
        return 0;
    for (uint8_t i = 0; i < r->keyCount; ++i) {
        if (p->data[2 + i] != r->keys[i])
            return 0;
    }
    return 1;
}

struct sFactoryReply {
    uint8_t type;
};

uint8_t sFactoryFilter(const aPacket* p, void* ref) {
    auto* r = static_cast<const sFactoryReply*>(ref);
    if (p->dataSize < 1 || p->data[0] != cmdFACTORY)
        return 0;
    // A bare command byte cannot name its type but is a (malformed) factory reply all the same.
    return p->dataSize == 1 || (p->data[1] & ~kReplyError) == r->type ? 1 : 0;
}

// One slot exchange: sends the request (after the command byte) and takes the reply into
// `reply` (28 bytes). aErrTimeout when none came.
aErr sSlotExchange(Link& link, aLinkRef id, uint8_t address, const uint8_t* request, uint8_t length,
                   uint32_t waitMs, aPacket** reply) {
    *reply = nullptr;
    aErr e = link.sendPacket(address, cmdSLOT, length, request);
    if (e != aErrNone)
        return e;
    sSlotReply match{request[0], {request[1], length > 2 ? request[2] : uint8_t(0)},
                     static_cast<uint8_t>(request[0] <= kSlotOpenWrite ? 2 : 1)};
    *reply = aLink_AwaitFirst(id, sSlotFilter, &match, waitMs);
    return *reply ? aErrNone : aErrTimeout;
}

bool sIsError(const aPacket* p) { return (p->data[1] & kReplyError) != 0; }

// The code of an error reply: the byte after the echoed keys.
aErr sErrorCode(const aPacket* p, uint8_t keyCount) {
    const uint8_t at = 2 + keyCount;
    return p->dataSize > at ? static_cast<aErr>(p->data[at]) : aErrUnknown;
}

// Reads the 16-bit capacity or size of a slot.
aErr sSlotValue(Link& link, aLinkRef id, uint8_t address, uint8_t sub, uint8_t store, uint8_t slot, size_t* value) {
    const uint8_t request[3] = {sub, store, slot};
    aPacket* reply = nullptr;
    aErr e = sSlotExchange(link, id, address, request, 3, kLinkReplyWaitMs, &reply);
    if (e != aErrNone)
        return e;
    if (sIsError(reply))
        e = sErrorCode(reply, 2);
    else if (reply->dataSize != 6)
        e = aErrUnknown;
    else
        *value = aUEI_RetrieveShort(&reply->data[4]);
    (void)aPacket_Destroy(&reply);
    return e;
}

// Opens a slot; aErrMedia when it cannot be opened (no reply, an error, a short reply).
aErr sSlotOpen(Link& link, aLinkRef id, uint8_t address, uint8_t sub, uint8_t store, uint8_t slot, uint8_t* handle) {
    const uint8_t request[3] = {sub, store, slot};
    aPacket* reply = nullptr;
    aErr e = sSlotExchange(link, id, address, request, 3, kSlotOpenWaitMs, &reply);
    if (e == aErrConnection || e == aErrPacket)
        return e;
    if (e != aErrNone)
        return aErrMedia;
    e = !sIsError(reply) && reply->dataSize >= 5 ? aErrNone : aErrMedia;
    if (e == aErrNone)
        *handle = reply->data[4];
    (void)aPacket_Destroy(&reply);
    return e;
}

// Closes a slot. No reply counts as closed; a reply of another length than 4 is aErrIO.
aErr sSlotClose(Link& link, aLinkRef id, uint8_t address, uint8_t handle) {
    const uint8_t request[2] = {kSlotClose, handle};
    aPacket* reply = nullptr;
    aErr e = sSlotExchange(link, id, address, request, 2, kLinkReplyWaitMs, &reply);
    if (e == aErrTimeout)
        return aErrNone;
    if (e != aErrNone)
        return e;
    if (sIsError(reply))
        e = sErrorCode(reply, 1);
    else if (reply->dataSize != 4)
        e = aErrIO;
    (void)aPacket_Destroy(&reply);
    return e;
}

// The closing request of a factory-data transfer.
aErr sFactoryClose(Link& link, aLinkRef id, uint8_t address, uint8_t type, size_t total) {
    const uint8_t request[3] = {kFactoryClose, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)};
    aErr e = link.sendPacket(address, cmdFACTORY, 3, request);
    if (e != aErrNone)
        return e;
    sFactoryReply match{type};
    aPacket* reply = aLink_AwaitFirst(id, sFactoryFilter, &match, kLinkReplyWaitMs);
    if (reply == nullptr)
        return aErrTimeout;
    if (sIsError(reply))
        e = reply->dataSize >= 3 ? static_cast<aErr>(reply->data[2]) : aErrUnknown;
    (void)aPacket_Destroy(&reply);
    return e;
}

} // namespace

// ---- Data slots ----------------------------------------------------------------------------

aErr Link::storeSlotCapacity(uint8_t address, uint8_t store, uint8_t slot, size_t* capacity) {
    if (capacity == nullptr)
        return aErrParam;
    *capacity = 0;
    if (mImpl == nullptr)
        return aErrConnection;
    return sSlotValue(*this, mImpl->linkID, address, kSlotCapacity, store, slot, capacity);
}

aErr Link::storeSlotSize(uint8_t address, uint8_t store, uint8_t slot, size_t* size) {
    if (size == nullptr)
        return aErrParam;
    *size = 0;
    if (mImpl == nullptr)
        return aErrConnection;
    return sSlotValue(*this, mImpl->linkID, address, kSlotSize, store, slot, size);
}

aErr Link::loadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, const uint8_t* data, size_t length) {
    if (length > 0 && data == nullptr)
        return aErrParam;
    if (mImpl == nullptr)
        return aErrConnection;
    const aLinkRef id = mImpl->linkID;
    uint8_t handle = 0;
    aErr e = sSlotOpen(*this, id, address, kSlotOpenWrite, store, slot, &handle);
    if (e != aErrNone)
        return e;
    for (size_t done = 0; done < length && e == aErrNone;) {
        const size_t n = std::min(kSlotChunk, length - done);
        uint8_t request[2 + kSlotChunk] = {kSlotWrite, handle};
        memcpy(request + 2, data + done, n);
        uint8_t sum = 0;
        for (size_t i = 0; i < n; ++i)
            sum = static_cast<uint8_t>(sum + data[done + i]);
        aPacket* reply = nullptr;
        e = sSlotExchange(*this, id, address, request, static_cast<uint8_t>(2 + n), kLinkReplyWaitMs, &reply);
        if (e == aErrNone) {
            if (sIsError(reply))
                e = sErrorCode(reply, 1);
            else if (reply->dataSize == 4 && reply->data[3] != sum)
                e = aErrIO;
            (void)aPacket_Destroy(&reply);
        }
        done += n;
    }
    aErr closed = sSlotClose(*this, id, address, handle);
    return e != aErrNone ? e : closed;
}

aErr Link::unloadStoreSlot(uint8_t address, uint8_t store, uint8_t slot, uint8_t* buffer, size_t capacity,
                           size_t* count) {
    if (count == nullptr || (capacity > 0 && buffer == nullptr))
        return aErrParam;
    *count = 0;
    if (mImpl == nullptr)
        return aErrConnection;
    const aLinkRef id = mImpl->linkID;
    size_t size = 0;
    aErr e = sSlotValue(*this, id, address, kSlotSize, store, slot, &size);
    if (e != aErrNone)
        return e;
    uint8_t handle = 0;
    e = sSlotOpen(*this, id, address, kSlotOpenRead, store, slot, &handle);
    if (e != aErrNone)
        return e;
    const size_t wanted = std::min(capacity, size);
    size_t done = 0;
    while (done < wanted && e == aErrNone) {
        const uint8_t request[2] = {kSlotRead, handle};
        aPacket* reply = nullptr;
        e = sSlotExchange(*this, id, address, request, 2, kLinkReplyWaitMs, &reply);
        if (e != aErrNone)
            break;
        if (sIsError(reply)) {
            e = sErrorCode(reply, 1);
        } else if (reply->dataSize < 4) {
            e = aErrUnknown;
        } else {
            const size_t n = std::min<size_t>(reply->dataSize - 3u, wanted - done);
            memcpy(buffer + done, reply->data + 3, n);
            done += n;
        }
        (void)aPacket_Destroy(&reply);
    }
    aErr closed = sSlotClose(*this, id, address, handle);
    if (e == aErrNone)
        e = closed;
    if (e != aErrNone)
        return e;
    *count = wanted;
    return capacity < size ? aErrOverrun : aErrNone;
}

// ---- Factory data --------------------------------------------------------------------------

aErr Link::getFactoryData(uint8_t address, uint8_t type, uint8_t* buffer, size_t capacity, size_t* count) {
    if (count == nullptr || buffer == nullptr || type > kFactoryTypeMask)
        return aErrParam;
    *count = 0;
    if (mImpl == nullptr)
        return aErrConnection;
    const aLinkRef id = mImpl->linkID;
    sFactoryReply match{type};
    size_t total = 0;
    for (bool first = true;; first = false) {
        const uint8_t request = first ? static_cast<uint8_t>(type | kFactoryFirst) : type;
        aErr e = sendPacket(address, cmdFACTORY, 1, &request);
        if (e != aErrNone)
            return e;
        aPacket* reply = aLink_AwaitFirst(id, sFactoryFilter, &match, kLinkReplyWaitMs);
        if (reply == nullptr)
            return aErrTimeout;
        const size_t n = reply->dataSize >= 2 ? reply->dataSize - 2u : 0;
        const bool full = reply->dataSize == kFactoryFullReply;
        if (sIsError(reply))
            e = reply->dataSize >= 3 ? static_cast<aErr>(reply->data[2]) : aErrUnknown;
        else if (reply->dataSize < 2)
            e = aErrUnknown;
        else if (total + n >= capacity)
            e = aErrOverrun;
        else
            memcpy(buffer + total, reply->data + 2, n);
        (void)aPacket_Destroy(&reply);
        if (e != aErrNone)
            return e;
        total += n;
        if (!full)
            break;
    }
    aErr e = sFactoryClose(*this, id, address, type, total);
    if (e == aErrNone)
        *count = total;
    return e;
}

aErr Link::setFactoryData(uint8_t address, uint8_t type, const uint8_t* data, size_t length) {
    if ((length > 0 && data == nullptr) || type > kFactoryTypeMask || length > 0xFFFF)
        return aErrParam;
    if (mImpl == nullptr)
        return aErrConnection;
    const aLinkRef id = mImpl->linkID;
    sFactoryReply match{type};
    for (size_t done = 0; done < length;) {
        const size_t n = std::min(kFactoryPiece, length - done);
        uint8_t request[1 + kFactoryPiece];
        request[0] = static_cast<uint8_t>(type | kFactoryWrite | (done == 0 ? kFactoryFirst : 0));
        memcpy(request + 1, data + done, n);
        aErr e = sendPacket(address, cmdFACTORY, static_cast<uint8_t>(1 + n), request);
        if (e != aErrNone)
            return e;
        aPacket* reply = aLink_AwaitFirst(id, sFactoryFilter, &match, kLinkReplyWaitMs);
        if (reply == nullptr)
            return aErrTimeout;
        if (sIsError(reply))
            e = reply->dataSize >= 3 ? static_cast<aErr>(reply->data[2]) : aErrUnknown;
        else if (reply->dataSize != 2)
            e = aErrSize;
        (void)aPacket_Destroy(&reply);
        if (e != aErrNone)
            return e;
        done += n;
    }
    return sFactoryClose(*this, id, address, type, length);
}

} // namespace Korvel
} // namespace Olvarin
