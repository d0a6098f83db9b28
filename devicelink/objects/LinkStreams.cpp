// Link: stream keys, sample decoding, subscriptions (command 93), the stream filter on the
// engine's receive thread, the value cache and the callback thread.
#include "Link.h"

#include "LinkImpl.h"
#include "aDebugging.h"

#include <chrono>
#include <vector>

namespace Olvarin {
namespace Korvel {

namespace {

constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kStreamOn = 0x81;
constexpr uint8_t kStreamOff = 0x82;
constexpr uint8_t kStreamQuery = 0x41;
constexpr uint8_t kStreamQueryReply = 0x01;
constexpr auto kCallbackPause = std::chrono::milliseconds(1);

// Data length of a valid sample of each type (0: not decoded as a sample).
constexpr uint8_t kSampleLength[8] = {0, 14, 15, 17, 0, 15, 16, 18};

uint8_t sElement(uint64_t key, int shift) { return static_cast<uint8_t>(key >> shift); }

bool sHasWildcard(uint64_t key) {
    return sElement(key, 0) == kAny || sElement(key, 8) == kAny || sElement(key, 16) == kAny ||
           sElement(key, 32) == kAny;
}

bool sMatches(uint8_t pattern, uint8_t value) { return pattern == kAny || pattern == value; }

// Whether `key` lies under the pattern (module, command, option, index, subindex); 0xFF in the
// pattern matches anything.
bool sKeyMatches(uint64_t key, uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
    return sMatches(module, sElement(key, 24)) && sMatches(command, sElement(key, 16)) &&
           sMatches(option, sElement(key, 8)) && sMatches(index, sElement(key, 0)) &&
           sMatches(subindex, sElement(key, 32));
}

void sEraseMatching(Link::impl* m, uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    std::lock_guard<std::mutex> hold(m->streamLock);
    for (auto it = m->streamTable.begin(); it != m->streamTable.end();) {
        if (sElement(it->first, 24) == module && sKeyMatches(it->first, module, command, option, index, kAny))
            it = m->streamTable.erase(it);
        else
            ++it;
    }
}

// Waits for the callback thread unless this is it: a callback that removes the last
// subscription lets its own thread finish by itself (it holds its run).
void sRetire(std::thread thread) {
    if (!thread.joinable())
        return;
    if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
    else
        thread.join();
}

void sCallbackLoop(std::shared_ptr<CallbackRun> run) {
    while (!run->stop.load()) {
        asyncPacket item;
        while (!run->stop.load() && run->queue.pop(&item)) {
            item.callback(item.packet, item.reference);
            (void)aPacket_Destroy(&item.packet);
        }
        std::this_thread::sleep_for(kCallbackPause);
    }
}

// With streamLock held: hands a copy of the packet to the entry's callback, if it has one.
void sQueueCallback(CallbackRun* run, const StreamEntry& entry, const aPacket* packet) {
    if (entry.callback == nullptr || run == nullptr)
        return;
    asyncPacket item;
    item.callback = entry.callback;
    item.reference = entry.reference;
    item.packet = aPacket_Copy(packet);
    if (item.packet == nullptr)
        return;
    if (!run->queue.push(item))
        (void)aPacket_Destroy(&item.packet); // full: dropped, never queued without bound
}

// The engine's user filter while subscriptions exist: runs on the receive thread.
uint8_t sStreamFilter(const aPacket* packet, void* reference) {
    Link::STREAM_PACKET type;
    if (!Link::getStreamPacketType(packet, &type))
        return 0;
    auto* m = static_cast<Link::impl*>(reference);
    const uint8_t subindex = Link::isSubindexType(type) ? packet->data[4] : 0;
    const uint64_t exact = Link::createStreamKey(packet->address, packet->data[0], packet->data[1] & ueiOPTION_MASK,
                                                 packet->data[2] & ueiSPECIFIER_INDEX_MASK, subindex);
    uint32_t value = 0;
    const bool decodes = Link::getStreamSample(packet, nullptr, &value, nullptr) == aErrNone;
    try {
        std::lock_guard<std::mutex> hold(m->streamLock);
        CallbackRun* run = m->callbacks.get();
        auto found = m->streamTable.find(exact);
        const bool exactFound = found != m->streamTable.end();
        if (exactFound) {
            sQueueCallback(run, found->second, packet);
            if (decodes) {
                found->second.value = value;
                found->second.fresh = true;
            }
        }
        bool wildcardMatched = false;
        for (int k = 1; k < 16; ++k) {
            uint64_t key = exact;
            if (k & 1)
                key |= 0xFFull;
            if (k & 2)
                key |= 0xFFull << 8;
            if (k & 4)
                key |= 0xFFull << 16;
            if (k & 8)
                key |= 0xFFull << 32;
            auto w = m->streamTable.find(key);
            if (w != m->streamTable.end()) {
                wildcardMatched = true;
                sQueueCallback(run, w->second, packet);
            }
        }
        if (!exactFound && wildcardMatched && decodes) {
            StreamEntry entry;
            entry.key = exact;
            entry.fresh = true;
            entry.value = value;
            m->streamTable.emplace(exact, entry);
        }
    } catch (...) {
        // Out of memory for a new value entry: the sample is still taken off the normal path.
    }
    return 1;
}

aErr sTellModule(Link& link, uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
    uei request{};
    request.module = module;
    request.command = cmdSTREAM;
    request.option = enable ? kStreamOn : kStreamOff;
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiTypeInt;
    request.v.intVal = static_cast<uint32_t>(Link::createStreamKey(module, command, option, index, 0));
    aErr e = link.sendUEI(request);
    if (e != aErrNone)
        return e;
    uei reply{};
    e = link.receiveUEI(module, cmdSTREAM, static_cast<uint8_t>(request.option | ueiOPTION_GET), 0, &reply);
    if (e != aErrNone)
        return e;
    return (reply.specifier & ueiSPECIFIER_ERROR) ? static_cast<aErr>(reply.v.byteVal) : aErrNone;
}

} // namespace

CallbackRun::~CallbackRun() {
    asyncPacket item;
    while (queue.pop(&item))
        (void)aPacket_Destroy(&item.packet);
}

// ---- Filter and callback thread ------------------------------------------------------------

aErr Link::impl::installFilterLocked() {
    const aLinkRef id = linkID;
    if (id == 0)
        return aErrConnection;
    if (filterInstalled)
        return aErrNone;
    if (!callbackThread.joinable()) {
        std::shared_ptr<CallbackRun> run;
        try {
            run = std::make_shared<CallbackRun>();
            if (!run->queue.valid())
                return aErrMemory;
            callbackThread = std::thread(sCallbackLoop, run);
        } catch (...) {
            return aErrResource;
        }
        std::lock_guard<std::mutex> hold(streamLock);
        callbacks = run;
    }
    aErr e = aLink_InstallUserPacketFilter(id, sStreamFilter, this);
    if (e != aErrNone)
        return e;
    filterInstalled = true;
    aTRACE(aDEBUG_LINK, "link object \"%s\": stream filter on", name.c_str());
    return aErrNone;
}

std::thread Link::impl::removeFilterLocked() {
    const aLinkRef id = linkID;
    if (filterInstalled && id != 0)
        (void)aLink_InstallUserPacketFilter(id, nullptr, nullptr);
    filterInstalled = false;
    std::shared_ptr<CallbackRun> run;
    {
        std::lock_guard<std::mutex> hold(streamLock);
        streamTable.clear();
        run = std::move(callbacks);
    }
    if (run)
        run->stop = true;
    return std::move(callbackThread);
}

aErr Link::impl::updateFilterLocked(std::thread* retired) {
    bool empty;
    {
        std::lock_guard<std::mutex> hold(streamLock);
        empty = streamTable.empty();
    }
    if (!empty)
        return installFilterLocked();
    *retired = removeFilterLocked();
    return aErrNone;
}

void Link::impl::removeStreamFilter() {
    std::thread retired;
    {
        std::lock_guard<std::mutex> control(controlLock);
        retired = removeFilterLocked();
    }
    sRetire(std::move(retired));
}

void Link::impl::removeSubscriptions() {
    std::vector<uint64_t> subscriptions;
    {
        std::lock_guard<std::mutex> hold(streamLock);
        for (const auto& [key, entry] : streamTable) {
            if (sHasWildcard(key))
                subscriptions.push_back(key);
        }
    }
    if (owner->isConnected()) {
        for (uint64_t key : subscriptions)
            (void)sTellModule(*owner, sElement(key, 24), sElement(key, 16), sElement(key, 8), sElement(key, 0), false);
    }
    removeStreamFilter();
}

void Link::impl::restoreStreamFilter() {
    std::thread retired;
    {
        std::lock_guard<std::mutex> control(controlLock);
        filterInstalled = false;
        (void)updateFilterLocked(&retired);
    }
    sRetire(std::move(retired));
}

// ---- Subscriptions -------------------------------------------------------------------------

aErr Link::registerStreamCallback(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable,
                                  streamCallback callback, void* reference) {
    if (mImpl == nullptr)
        return aErrMemory;
    if (module % 2 != 0 || module == kAny)
        return aErrParam;
    impl* m = mImpl;
    std::thread retired;
    aErr e = aErrNone;
    {
        std::lock_guard<std::mutex> control(m->controlLock);
        const uint64_t key = createStreamKey(module, command, option, index, kAny);
        if (enable) {
            try {
                std::lock_guard<std::mutex> hold(m->streamLock);
                StreamEntry& entry = m->streamTable[key];
                entry.key = key;
                entry.callback = callback;
                entry.reference = reference;
            } catch (...) {
                return aErrMemory;
            }
        } else {
            sEraseMatching(m, module, command, option, index);
        }
        e = m->updateFilterLocked(&retired);
        if (e == aErrNone)
            e = sTellModule(*this, module, command, option, index, enable);
        if (e != aErrNone) {
            sEraseMatching(m, module, command, option, index);
            std::thread more;
            (void)m->updateFilterLocked(&more);
            if (more.joinable())
                retired = std::move(more);
        }
    }
    sRetire(std::move(retired));
    return e;
}

aErr Link::enableStream(uint8_t module, uint8_t command, uint8_t option, uint8_t index, bool enable) {
    return registerStreamCallback(module, command, option, index, enable, nullptr, nullptr);
}

aErr Link::isLinkStreaming(uint8_t module, uint8_t* flag) {
    if (flag == nullptr)
        return aErrParam;
    *flag = 0;
    uei request{};
    request.module = module;
    request.command = cmdSTREAM;
    request.option = kStreamQuery;
    request.specifier = ueiSPECIFIER_REQUEST;
    request.type = ueiTypeVoid;
    aErr e = sendUEI(request);
    if (e != aErrNone)
        return e;
    uei reply{};
    e = receiveUEI(module, cmdSTREAM, kStreamQueryReply, 0, &reply);
    if (e != aErrNone)
        return e;
    if (reply.specifier & ueiSPECIFIER_ERROR)
        return static_cast<aErr>(reply.v.byteVal);
    if (reply.type != ueiTypeByte)
        return aErrUnknown;
    *flag = reply.v.byteVal;
    return aErrNone;
}

aErr Link::getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                          uint32_t* value) {
    if (value == nullptr)
        return aErrParam;
    *value = 0;
    if (mImpl == nullptr)
        return aErrNotFound;
    const uint64_t key = createStreamKey(module, command, option, index, subindex);
    if (sHasWildcard(key))
        return aErrNotFound; // subscriptions hold no value
    std::lock_guard<std::mutex> hold(mImpl->streamLock);
    auto found = mImpl->streamTable.find(key);
    if (found == mImpl->streamTable.end())
        return aErrNotFound;
    *value = found->second.value;
    if (!found->second.fresh)
        return aErrStreamStale;
    found->second.fresh = false;
    return aErrNone;
}

aErr Link::getStreamStatus(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex,
                           StreamStatusEntry* entries, size_t capacity, size_t* count) {
    if (count != nullptr)
        *count = 0;
    if (!isConnected())
        return aErrConnection;
    if (entries == nullptr || count == nullptr || capacity == 0)
        return aErrParam;
    size_t stored = 0;
    bool more = false;
    std::lock_guard<std::mutex> hold(mImpl->streamLock);
    for (const auto& [key, entry] : mImpl->streamTable) {
        if (sHasWildcard(key) || !sKeyMatches(key, module, command, option, index, subindex))
            continue;
        if (stored == capacity) {
            more = true;
            break;
        }
        entries[stored].key = key;
        entries[stored].value = entry.value;
        ++stored;
    }
    *count = stored;
    return more ? aErrSize : aErrNone;
}

// ---- Keys and samples ----------------------------------------------------------------------

uint64_t Link::createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uint8_t subindex) {
    return static_cast<uint64_t>(index) | static_cast<uint64_t>(option) << 8 | static_cast<uint64_t>(command) << 16 |
           static_cast<uint64_t>(module) << 24 | static_cast<uint64_t>(subindex) << 32;
}

uint8_t Link::getStreamKeyElement(uint64_t key, int element) {
    switch (element) {
    case streamKeyModule:
        return sElement(key, 24);
    case streamKeyCommand:
        return sElement(key, 16);
    case streamKeyOption:
        return sElement(key, 8);
    case streamKeyIndex:
        return sElement(key, 0);
    case streamKeySubindex:
        return sElement(key, 32);
    default:
        return 0;
    }
}

bool Link::isStreamPacket(const aPacket* packet) { return aUEI_isStreamPacket(packet); }

bool Link::getStreamPacketType(const aPacket* packet, STREAM_PACKET* type) {
    STREAM_PACKET t = streamPacketNone;
    if (isStreamPacket(packet)) {
        if (packet->data[packet->dataSize - 1] != 0)
            t = streamPacketBytes;
        else if (packet->data[3] >= streamPacketByte && packet->data[3] <= streamPacketSubindexInt)
            t = static_cast<STREAM_PACKET>(packet->data[3]);
    }
    if (type != nullptr)
        *type = t;
    return t != streamPacketNone;
}

bool Link::isSubindexType(STREAM_PACKET type) {
    return type == streamPacketSubindexByte || type == streamPacketSubindexShort || type == streamPacketSubindexInt;
}

bool Link::isStreamSample(const aPacket* packet) {
    STREAM_PACKET type;
    return getStreamPacketType(packet, &type) && type != streamPacketBytes && packet->dataSize == kSampleLength[type];
}

aErr Link::getStreamSample(const aPacket* packet, uint64_t* timestamp, uint32_t* value, uint8_t* subindex) {
    if (timestamp != nullptr)
        *timestamp = 0;
    if (value != nullptr)
        *value = 0;
    if (subindex != nullptr)
        *subindex = 0;
    STREAM_PACKET type;
    if (!getStreamPacketType(packet, &type))
        return aErrPacket;
    if (type == streamPacketBytes)
        return aErrSize;
    if (packet->dataSize != kSampleLength[type])
        return aErrPacket;
    const bool sub = isSubindexType(type);
    const uint8_t* at = packet->data + (sub ? 5 : 4);
    uint64_t ts = 0;
    for (int i = 0; i < 8; ++i)
        ts = ts << 8 | at[i];
    at += 8;
    uint32_t v;
    switch (sub ? type - 4 : type) {
    case streamPacketByte:
        v = at[0];
        break;
    case streamPacketShort:
        v = aUEI_RetrieveShort(at);
        break;
    default:
        v = aUEI_RetrieveInt(at);
        break;
    }
    if (timestamp != nullptr)
        *timestamp = ts;
    if (value != nullptr)
        *value = v;
    if (subindex != nullptr)
        *subindex = sub ? packet->data[4] : 0;
    return aErrNone;
}

void Link::getTimestampParts(uint64_t timestamp, uint32_t* high, uint32_t* low) {
    if (high != nullptr)
        *high = static_cast<uint32_t>(timestamp >> 32);
    if (low != nullptr)
        *low = static_cast<uint32_t>(timestamp);
}

} // namespace Korvel
} // namespace Olvarin
