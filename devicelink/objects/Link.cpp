// Link: construction, connection, the address query, raw packets and UEI requests and replies.
#include "Link.h"

#include "LinkImpl.h"
#include "aDebugging.h"
#include "aPacketDebug.h"
#include "aTime.h"

#include <arpa/inet.h>
#include <cstring>
#include <new>

namespace Olvarin {
namespace Korvel {

namespace {

constexpr size_t kMaxNameLength = 1024;
constexpr uint32_t kWaitPolls = 200;
constexpr uint32_t kWaitPollMs = 10;
constexpr uint8_t kMaxSendLength = aPACKET_MAX_DATA - 1; // after the command byte

bool sValidModule(uint8_t address) { return address != 0 && address % 2 == 0; }

bool sConnected(const Link::impl* m) {
    aLinkRef id = m->linkID.load();
    return id != 0 && aLink_GetStatus(id) == linkStatusRunning;
}

// Waits for the engine link to run, polling while it starts or synchronises.
aErr sWaitForLink(aLinkRef id, uint32_t polls) {
    for (uint32_t i = 0;; ++i) {
        switch (aLink_GetStatus(id)) {
        case linkStatusRunning:
            return aErrNone;
        case linkStatusStopped:
        case linkStatusInitializing:
        case linkStatusSyncing:
            if (i >= polls)
                return aErrConnection;
            aTime_MSSleep(kWaitPollMs);
            break;
        case linkStatusStopping:
            return aErrBusy;
        case linkStatusInvalid:
        case linkStatusIOError:
        case linkStatusError:
            return aErrConnection;
        default:
            return aErrDuplicate;
        }
    }
}

// Creates (or joins) the engine link the specifier names. *id receives it (0 for none).
aErr sCreateEngineLink(Link::impl* m, aLinkRef* id) {
    *id = 0;
    const linkSpec* spec = m->storedSpecifier;
    if (spec == nullptr)
        return aErrConfiguration;
    switch (spec->type) {
    case USB:
        if (m->config.enabled)
            return aErrUnimplemented; // through a shared-device server
        *id = aLink_CreateUSB(spec->serialNumber);
        break;
    case TCPIP:
        if (spec->ip.ipPort > 0xFFFF)
            return aErrConnection;
        *id = aLink_CreateTCPIP(spec->ip.ipAddress, static_cast<uint16_t>(spec->ip.ipPort));
        break;
    case SERIAL: {
        char path[aLINKSPEC_PORTNAME_SIZE + 1];
        memcpy(path, spec->serial.portName, aLINKSPEC_PORTNAME_SIZE);
        path[aLINKSPEC_PORTNAME_SIZE] = '\0';
        *id = aLink_CreateSerial(spec->serialNumber, path, spec->serial.baudRate);
        break;
    }
    case CLIENT:
        if (!m->config.enabled)
            return aErrConfiguration;
        return aErrUnimplemented; // the broker-client link
    default:
        return aErrMode;
    }
    return *id == 0 ? aErrConnection : aErrNone;
}

// Makes the engine link and waits for it; a link that does not come up is let go again.
aErr sConnect(Link::impl* m) {
    aLinkRef id = 0;
    aErr e = sCreateEngineLink(m, &id);
    if (e != aErrNone)
        return e;
    aTRACE(aDEBUG_LINK, "link object \"%s\": engine link %u", m->name.c_str(), id);
    e = sWaitForLink(id, kWaitPolls);
    if (e != aErrNone) {
        (void)aLink_Destroy(&id);
        return e;
    }
    m->linkID = id;
    return aErrNone;
}

aErr sStoreSpecifier(Link::impl* m, const linkSpec* spec) {
    linkSpec* copy = aLinkSpec_Copy(spec);
    if (copy == nullptr)
        return aErrMemory;
    if (m->storedSpecifier != nullptr)
        (void)aLinkSpec_Destroy(&m->storedSpecifier);
    m->storedSpecifier = copy;
    return aErrNone;
}

struct sModelSearch {
    uint8_t model;
    linkSpec* found;
};

bool sTakeFirstOfModel(const linkSpec* spec, bool* found, void* context) {
    auto* search = static_cast<sModelSearch*>(context);
    if (search->model != 0 && spec->model != search->model)
        return true;
    search->found = aLinkSpec_Copy(spec);
    *found = search->found != nullptr;
    return false;
}

aErr sDiscoverAndConnectOnce(Link::impl* m, linkType type, uint32_t serial, uint8_t model) {
    linkSpec* found = nullptr;
    if (serial != 0) {
        found = aDiscovery_FindModule(type, serial, m->config.networkInterface);
    } else {
        sModelSearch search{model, nullptr};
        (void)aDiscovery_EnumerateModules(type, sTakeFirstOfModel, &search, m->config.networkInterface);
        found = search.found;
    }
    if (found == nullptr)
        return aErrNotFound;
    aErr e = sStoreSpecifier(m, found);
    (void)aLinkSpec_Destroy(&found);
    return e == aErrNone ? sConnect(m) : e;
}

// ---- Reply filters ---------------------------------------------------------------------

bool sMatchesUEI(const aPacket* p, const uei* r) {
    return p->address == r->module && p->dataSize >= 3 && p->data[0] == r->command &&
           p->data[1] == r->option && (p->data[2] & ueiSPECIFIER_INDEX_MASK) == (r->specifier & ueiSPECIFIER_INDEX_MASK);
}

uint8_t sUEIReplyFilter(const aPacket* p, void* ref) {
    uei* r = static_cast<uei*>(ref);
    if (!sMatchesUEI(p, r))
        return 0;
    r->specifier = p->data[2];
    if (p->data[2] & ueiSPECIFIER_ERROR) {
        r->type = ueiTypeByte;
        r->v.byteVal = p->dataSize >= 4 ? p->data[3] : static_cast<uint8_t>(aErrUnknown);
        return 1;
    }
    switch (p->dataSize) {
    case ueiREPLY_SIZE_BYTE:
        r->type = ueiTypeByte;
        r->v.byteVal = p->data[3];
        break;
    case ueiREPLY_SIZE_SHORT:
        r->type = ueiTypeShort;
        r->v.shortVal = aUEI_RetrieveShort(&p->data[3]);
        break;
    case ueiREPLY_SIZE_INT:
        r->type = ueiTypeInt;
        r->v.intVal = aUEI_RetrieveInt(&p->data[3]);
        break;
    default: // 3 and any other length: no decoded value
        r->type = ueiTypeVoid;
        r->v.intVal = 0;
        break;
    }
    return 1;
}

uint8_t sUEIMatchFilter(const aPacket* p, void* ref) { return sMatchesUEI(p, static_cast<const uei*>(ref)) ? 1 : 0; }

struct sPrefix {
    const uint8_t* match;
    uint8_t length;
};

uint8_t sPrefixFilter(const aPacket* p, void* ref) {
    auto* prefix = static_cast<const sPrefix*>(ref);
    return p->dataSize >= prefix->length && memcmp(p->data, prefix->match, prefix->length) == 0 ? 1 : 0;
}

uint8_t sEmptyPacketFilter(const aPacket* p, void*) { return p->dataSize == 0 ? 1 : 0; }

aErr sQueue(aLinkRef id, uint8_t address, uint8_t length, const uint8_t* data) {
    static const uint8_t none = 0;
    aPacket* p = aPacket_CreateWithData(address, length, length ? data : &none);
    if (p == nullptr)
        return aErrResource;
    aErr e = aLink_PutPacket(id, p);
    (void)aPacket_Destroy(&p);
    return e;
}

} // namespace

VeluneConfig::VeluneConfig() : networkInterface(htonl(INADDR_LOOPBACK)) {}

// ---- Construction ------------------------------------------------------------------------

Link::Link(const char* name) : mImpl(new (std::nothrow) impl) {
    if (mImpl == nullptr)
        return;
    mImpl->owner = this;
    try {
        mImpl->name.assign(name ? name : "", name ? strnlen(name, kMaxNameLength) : 0);
    } catch (...) {
    }
}

Link::Link(const linkSpec& specifier, const char* name) : Link(name) {
    if (mImpl != nullptr)
        (void)sStoreSpecifier(mImpl, &specifier);
}

Link::~Link() {
    if (mImpl == nullptr)
        return;
    mImpl->removeSubscriptions();
    aLinkRef id = mImpl->linkID.exchange(0);
    if (id != 0)
        (void)aLink_Destroy(&id);
    if (mImpl->storedSpecifier != nullptr)
        (void)aLinkSpec_Destroy(&mImpl->storedSpecifier);
    (void)aLogger_Destroy(&mImpl->logger);
    delete mImpl;
}

// ---- Connection ----------------------------------------------------------------------------

aErr Link::setLinkSpecifier(const linkSpec& specifier) {
    if (mImpl == nullptr)
        return aErrMemory;
    if (mImpl->linkID != 0)
        return aErrBusy;
    return sStoreSpecifier(mImpl, &specifier);
}

aErr Link::getLinkSpecifier(linkSpec* specifier) const {
    if (specifier == nullptr)
        return aErrParam;
    memset(specifier, 0, sizeof *specifier);
    if (mImpl == nullptr || mImpl->storedSpecifier == nullptr)
        return aErrNotFound;
    memcpy(specifier, mImpl->storedSpecifier, sizeof *specifier);
    return aErrNone;
}

const char* Link::getName() const { return mImpl ? mImpl->name.c_str() : ""; }

aErr Link::setConfig(const VeluneConfig& config) {
    if (mImpl == nullptr)
        return aErrMemory;
    if (mImpl->linkID != 0)
        return aErrMode;
    mImpl->config = config;
    return aErrNone;
}

aErr Link::getConfig(VeluneConfig* config) const {
    if (config == nullptr)
        return aErrParam;
    if (mImpl == nullptr)
        return aErrMemory;
    *config = mImpl->config;
    return aErrNone;
}

aErr Link::connect() {
    if (mImpl == nullptr)
        return aErrMemory;
    if (mImpl->linkID != 0)
        return aErrConnection;
    return sConnect(mImpl);
}

aErr Link::discoverAndConnect(linkType type, uint32_t serial, uint8_t model) {
    if (mImpl == nullptr)
        return aErrMemory;
    if (mImpl->linkID != 0)
        return aErrConnection;
    aErr e = sDiscoverAndConnectOnce(mImpl, type, serial, model);
    const bool retry = e == aErrNotFound || e == aErrInitialization || e == aErrConnection;
    if (retry && (type == USB || type == CLIENT) && mImpl->config.fallback) {
        const linkType other = type == USB ? CLIENT : USB;
        aTRACE(aDEBUG_LINK, "Executing Fallback: %s\n", other == USB ? "USB" : "Velune");
        e = sDiscoverAndConnectOnce(mImpl, other, serial, model);
    }
    return e;
}

aErr Link::connectThroughLinkModule(Link& other) {
    if (mImpl == nullptr || other.mImpl == nullptr)
        return aErrMemory;
    if (other.mImpl->linkID == 0)
        return aErrInitialization;
    if (mImpl->linkID != 0)
        return aErrConnection;
    return sConnect(mImpl);
}

bool Link::isConnected() const { return mImpl != nullptr && sConnected(mImpl); }

linkStatus Link::getStatus() const {
    aLinkRef id = mImpl ? mImpl->linkID.load() : 0;
    return id != 0 ? aLink_GetStatus(id) : linkStatusError;
}

aErr Link::disconnect() {
    if (mImpl == nullptr)
        return aErrNone;
    // The filter refers to this object: it must not stay on an engine link others still hold,
    // nor should the module go on streaming into it.
    mImpl->removeSubscriptions();
    aLinkRef id = mImpl->linkID.exchange(0);
    if (id != 0)
        (void)aLink_Destroy(&id);
    return aErrNone;
}

aErr Link::reset() {
    if (mImpl == nullptr || mImpl->linkID == 0)
        return aErrNone;
    (void)aLink_Reset(mImpl->linkID);
    mImpl->restoreStreamFilter();
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
    if (address == nullptr)
        return aErrParam;
    *address = 0;
    if (mImpl == nullptr || !sConnected(mImpl))
        return aErrNotReady;
    const aLinkRef id = mImpl->linkID;
    aTRACE(aDEBUG_LINK, "getModuleAddress");
    if (sQueue(id, aLINK_ADDR_SYNC, 0, nullptr) != aErrNone)
        return aErrNotReady;
    aTRACE(aDEBUG_LINK, "getModuleAddress wait");
    aPacket* reply = aLink_AwaitFirst(id, sEmptyPacketFilter, nullptr, kLinkReplyWaitMs);
    if (reply == nullptr)
        return aErrNotReady;
    *address = reply->address;
    (void)aPacket_Destroy(&reply);
    return aErrNone;
}

// ---- Packets and UEI -------------------------------------------------------------------------

aErr Link::sendPacket(uint8_t address, uint8_t command, uint8_t length, const uint8_t* data) {
    if (mImpl == nullptr || !sConnected(mImpl))
        return aErrConnection;
    if (!sValidModule(address))
        return aErrPacket;
    if (length > kMaxSendLength || (length > 0 && data == nullptr))
        return aErrParam;
    uint8_t bytes[aPACKET_MAX_DATA];
    bytes[0] = command;
    if (length > 0)
        memcpy(bytes + 1, data, length);
    return sQueue(mImpl->linkID, address, static_cast<uint8_t>(length + 1), bytes);
}

aErr Link::receivePacket(uint8_t address, const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    if (mImpl == nullptr || !sConnected(mImpl))
        return aErrConnection;
    if (!sValidModule(address))
        return aErrPacket;
    if (length == nullptr || buffer == nullptr || *length > aPACKET_MAX_DATA || (*length > 0 && match == nullptr))
        return aErrParam;
    sPrefix prefix{match, *length};
    aPacket* reply = aLink_AwaitFirst(mImpl->linkID, sPrefixFilter, &prefix, kLinkReplyWaitMs);
    if (reply == nullptr)
        return aErrTimeout;
    *length = reply->dataSize;
    memcpy(buffer, reply->data, reply->dataSize);
    (void)aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::sendUEI(const uei& request) {
    if (mImpl == nullptr || !sConnected(mImpl))
        return aErrConnection;
    if (!sValidModule(request.module))
        return aErrPacket;
    const aLinkRef id = mImpl->linkID;
    uint8_t data[ueiREPLY_SIZE_INT] = {request.command, request.option, request.specifier};
    switch (request.type) {
    case ueiTypeVoid:
        return sQueue(id, request.module, ueiREPLY_SIZE_VOID, data);
    case ueiTypeByte:
        data[3] = request.v.byteVal;
        return sQueue(id, request.module, ueiREPLY_SIZE_BYTE, data);
    case ueiTypeShort:
        (void)aUEI_StoreShort(&data[3], request.v.shortVal);
        return sQueue(id, request.module, ueiREPLY_SIZE_SHORT, data);
    case ueiTypeInt:
        (void)aUEI_StoreInt(&data[3], request.v.intVal);
        return sQueue(id, request.module, ueiREPLY_SIZE_INT, data);
    case ueiTypeBytes: {
        const size_t count = aUEI_SetBytesPacketCount(&request);
        for (size_t i = 0; i < count; ++i) {
            aPacket* p = nullptr;
            aErr e = aUEI_CreateSetBytesPacket(&request, i, &p);
            if (e != aErrNone)
                return e == aErrMemory ? aErrResource : e;
            e = aLink_PutPacket(id, p);
            (void)aPacket_Destroy(&p);
            if (e != aErrNone)
                return e;
        }
        return aErrNone;
    }
    default:
        return aErrParam;
    }
}

aErr Link::sendUEI(const uei& request, uint8_t subindex) {
    if (mImpl == nullptr || !sConnected(mImpl))
        return aErrConnection;
    if (!sValidModule(request.module))
        return aErrPacket;
    uint8_t data[ueiREPLY_SIZE_INT + 1] = {request.command, request.option, request.specifier, subindex};
    uint8_t length;
    switch (request.type) {
    case ueiTypeVoid:
        length = 4;
        break;
    case ueiTypeByte:
        data[4] = request.v.byteVal;
        length = 5;
        break;
    case ueiTypeShort:
        (void)aUEI_StoreShort(&data[4], request.v.shortVal);
        length = 6;
        break;
    case ueiTypeInt:
        (void)aUEI_StoreInt(&data[4], request.v.intVal);
        length = 8;
        break;
    default:
        return aErrParam;
    }
    return sQueue(mImpl->linkID, request.module, length, data);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply) {
    return receiveUEI(module, command, option, index, reply, sUEIReplyFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* reply,
                      aPacketFilter filter) {
    if (reply == nullptr || filter == nullptr)
        return aErrParam;
    if (mImpl == nullptr || !sConnected(mImpl))
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    reply->module = module;
    reply->command = command;
    reply->option = option;
    reply->specifier = index;
    aPacket* p = aLink_AwaitFirst(mImpl->linkID, filter, reply, kLinkReplyWaitMs);
    if (p == nullptr)
        return aErrTimeout;
    (void)aPacket_Destroy(&p);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    if (mImpl == nullptr || !sConnected(mImpl))
        return aErrConnection;
    if (!sValidModule(module))
        return aErrPacket;
    uei match{};
    match.module = module;
    match.command = command;
    match.option = option;
    match.specifier = index;
    (void)aLink_DrainPackets(mImpl->linkID, sUEIMatchFilter, &match);
    return aErrNone;
}

// ---- Packet log ----------------------------------------------------------------------------

aErr Link::enablePacketLog(const char* path) {
    const aLinkRef id = mImpl ? mImpl->linkID.load() : 0;
    if (id == 0)
        return aErrConfiguration;
    if (path == nullptr)
        return aErrParam;
    aErr e = aLink_PacketDebug_Enable(id);
    if (e != aErrNone)
        return e;
    // A logger made for an earlier engine link would go on reading that link's (gone) ring.
    if (mImpl->logger != nullptr && mImpl->loggerLink != id) {
        e = aLogger_Destroy(&mImpl->logger);
        if (e != aErrNone)
            return e;
    }
    if (mImpl->logger == nullptr) {
        mImpl->logger = aLogger_Create(id, aLink_PacketDebug_LogProc, path);
        if (mImpl->logger == nullptr)
            return aErrResource;
        mImpl->loggerLink = id;
    }
    e = aLogger_Enable(mImpl->logger);
    if (e != aErrNone)
        return e;
    static const uint8_t start[] = "START"; // with its terminating zero
    return aLink_PacketDebug_Write(id, aPACKETLOG_NOTE, sizeof start, start);
}

aErr Link::disablePacketLog() {
    const aLinkRef id = mImpl ? mImpl->linkID.load() : 0;
    if (id == 0)
        return aErrConfiguration;
    aErr e = aLink_PacketDebug_Disable(id);
    if (mImpl->logger != nullptr)
        return aLogger_Disable(mImpl->logger);
    return e;
}

} // namespace Korvel
} // namespace Olvarin
