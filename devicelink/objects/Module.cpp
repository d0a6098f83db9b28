#include "Module.h"

#include "aDebugging.h"
#include "aTime.h"

#include <cstring>
#include <new>

namespace Olvarin {
namespace Korvel {

namespace {

constexpr int kAddressTries = 4;
constexpr uint32_t kAddressRetryMs = 5;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;

} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : mLink(new (std::nothrow) Link("Link")), mModuleAddress(address), mNetworkingMode(networkingMode), mModel(model) {}

Module::~Module() { delete mLink; }

// ---- Connection ----------------------------------------------------------------------------

aErr Module::networkAfterConnect(aErr connected) {
    if (connected != aErrNone || !mNetworkingMode)
        return connected;
    aErr e = aErrNotReady;
    for (int attempt = 0; attempt < kAddressTries; ++attempt) {
        uint8_t address = 0;
        e = mLink->getModuleAddress(&address);
        if (e == aErrNone) {
            aTRACE(aDEBUG_NETWORKING, "module address %u (was %u)", address, mModuleAddress);
            if (address != mModuleAddress)
                mModuleAddress = address;
            break;
        }
        if (e != aErrNotReady)
            break;
        aTRACE(aDEBUG_NETWORKING, "no module address yet (try %d)", attempt + 1);
        aTime_MSSleep(kAddressRetryMs);
    }
    return e;
}

aErr Module::connect(linkType type, uint32_t serial) {
    if (mLink == nullptr)
        return aErrInitialization;
    if (serial == 0)
        return aErrParam;
    return discoverAndConnect(type, serial);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serial) {
    if (mLink == nullptr)
        return aErrInitialization;
    return networkAfterConnect(mLink->discoverAndConnect(type, serial, mModel));
}

aErr Module::connectFromSpec(const linkSpec& specifier) {
    if (mLink == nullptr)
        return aErrInitialization;
    if (mLink->isConnected())
        return aErrBusy;
    aErr e = mLink->setLinkSpecifier(specifier);
    if (e != aErrNone)
        return e;
    return networkAfterConnect(mLink->connect());
}

aErr Module::reconnect() {
    if (mLink == nullptr)
        return aErrInitialization;
    return networkAfterConnect(mLink->connect());
}

aErr Module::connectThroughLinkModule(Module* linkModule) {
    if (mLink == nullptr)
        return aErrInitialization;
    if (linkModule == nullptr || linkModule->mLink == nullptr)
        return aErrParam;
    if (mLink->isConnected())
        return aErrNone;
    if (!linkModule->mLink->isConnected())
        return aErrInitialization;
    linkSpec spec;
    aErr e = linkModule->mLink->getLinkSpecifier(&spec);
    if (e != aErrNone)
        return e;
    VeluneConfig config;
    e = linkModule->mLink->getConfig(&config);
    if (e != aErrNone)
        return e;
    e = mLink->setConfig(config);
    if (e != aErrNone)
        return e;
    if (config.enabled) {
        // Shared through a server: this module joins as the server's client.
        linkSpec client = spec;
        memset(client.transport, 0, sizeof client.transport);
        client.type = CLIENT;
        client.ip.ipAddress = config.networkInterface;
        client.ip.ipPort = config.port;
        spec = client;
    }
    e = mLink->setLinkSpecifier(spec);
    if (e != aErrNone)
        return e;
    e = mLink->connectThroughLinkModule(*linkModule->mLink);
    if (e == aErrNone)
        mNetworkingMode = false;
    return e;
}

aErr Module::disconnect() {
    if (mLink == nullptr)
        return aErrInitialization;
    return mLink->disconnect();
}

bool Module::isConnected() const { return mLink != nullptr && mLink->isConnected(); }

linkStatus Module::getStatus() const { return mLink != nullptr ? mLink->getStatus() : linkStatusError; }

aErr Module::getLinkSpecifier(linkSpec* specifier) const {
    if (mLink == nullptr)
        return aErrNotReady;
    return mLink->getLinkSpecifier(specifier);
}

aErr Module::getConfig(VeluneConfig* config) const {
    if (mLink == nullptr)
        return aErrNotReady;
    return mLink->getConfig(config);
}

aErr Module::setConfig(const VeluneConfig& config) {
    if (mLink == nullptr)
        return aErrNotReady;
    return mLink->setConfig(config);
}

aErr Module::enablePacketLog(const char* path) {
    return mLink != nullptr ? mLink->enablePacketLog(path) : aErrConfiguration;
}

aErr Module::disablePacketLog() { return mLink != nullptr ? mLink->disablePacketLog() : aErrConfiguration; }

// ---- Queries -------------------------------------------------------------------------------

aErr Module::getBuild(uint32_t* build) {
    if (build == nullptr)
        return aErrParam;
    *build = 0;
    if (mLink == nullptr)
        return aErrInitialization;
    if (!mLink->isConnected())
        return aErrConnection;
    const uint8_t request = kInfoBuild;
    aErr e = mLink->sendPacket(mModuleAddress, cmdMODULE_INFO, 1, &request);
    if (e != aErrNone)
        return e;
    const uint8_t match[2] = {cmdMODULE_INFO, kInfoBuild};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAX_DATA];
    e = mLink->receivePacket(mModuleAddress, match, &length, reply);
    if (e != aErrNone)
        return e;
    if (length != 6)
        return aErrSize;
    *build = aUEI_RetrieveInt(&reply[2]);
    return aErrNone;
}

// Sends a module-information request and takes the first reply of command 73, which must echo
// the first `echo` bytes of the request and end with one answer byte (stored in *answer, left
// as it is otherwise).
aErr Module::infoQuery(const uint8_t* request, uint8_t length, uint8_t echo, uint8_t* answer) {
    if (mLink == nullptr)
        return aErrInitialization;
    if (!mLink->isConnected())
        return aErrConnection;
    aErr e = mLink->sendPacket(mModuleAddress, cmdMODULE_INFO, length, request);
    if (e != aErrNone)
        return e;
    const uint8_t match = cmdMODULE_INFO;
    uint8_t got = 1;
    uint8_t reply[aPACKET_MAX_DATA];
    e = mLink->receivePacket(mModuleAddress, &match, &got, reply);
    if (e != aErrNone)
        return e;
    if (got != echo + 2 || memcmp(reply + 1, request, echo) != 0)
        return aErrUnknown;
    *answer = reply[echo + 1];
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if (flags != 0 && flags != ueiOPTION_GET && flags != ueiOPTION_SET)
        return aErrParam;
    const uint8_t request[5] = {kInfoHasUEI, command, option, index, flags};
    uint8_t status = 0;
    aErr e = infoQuery(request, sizeof request, 4, &status);
    return e != aErrNone ? e : static_cast<aErr>(status);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (count == nullptr)
        return aErrParam;
    *count = 0;
    const uint8_t request[2] = {kInfoClassQuantity, command};
    return infoQuery(request, sizeof request, sizeof request, count);
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count) {
    if (count == nullptr)
        return aErrParam;
    *count = 0;
    const uint8_t request[3] = {kInfoSubClassQuantity, command, index};
    return infoQuery(request, sizeof request, sizeof request, count);
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    if (group == nullptr)
        return aErrParam;
    *group = 0;
    const uint8_t request[3] = {kInfoEntityGroup, command, index};
    return infoQuery(request, sizeof request, sizeof request, group);
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
    if (mLink == nullptr)
        return aErrInitialization;
    aErr e = mLink->sendPacket(mModuleAddress, cmdECHO, length, data);
    if (e != aErrNone)
        return e;
    const uint8_t match = cmdECHO;
    uint8_t got = 1;
    uint8_t reply[aPACKET_MAX_DATA];
    if (mLink->receivePacket(mModuleAddress, &match, &got, reply) != aErrNone)
        return aErrIO;
    if (got != length + 1 || (length > 0 && memcmp(reply + 1, data, length) != 0))
        return aErrIO;
    return aErrNone;
}

} // namespace Korvel
} // namespace Olvarin
