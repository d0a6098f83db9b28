// Module: one module on the module network, named by its module address, and the Link that
// reaches it (owned; made with the name "Link" at construction).
//
// With networking mode on (the default), every successful connect asks the module at the
// other end for its address (up to four tries, 5 ms apart) and takes it as the module address:
// a Module made with a placeholder address learns the real one. The connect's result is then
// the result of that query (aErrNotReady when no address came). A Module reached through a
// routing module (connectThroughLinkModule) has networking mode switched off: its address is
// the one set by the caller.
//
// Results: every operation returns an aErr unless stated.
//   aErrInitialization  the Module has no Link (memory ran out at construction)
//   aErrConnection      a query on a link that is not connected
// Module objects hold no locks of their own; they rely on the Link (see Link.h).
#ifndef KORVEL_MODULE_H
#define KORVEL_MODULE_H

#include "Link.h"

namespace Olvarin {
namespace Korvel {

class Module {
public:
    // Networking mode on. `model` is the model expected by a discovery without serial number
    // (0: any).
    Module(uint8_t address, uint8_t model = 0);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // ---- Connection ----

    // aErrParam for serial number 0 (the link is not touched); otherwise discoverAndConnect.
    aErr connect(linkType type, uint32_t serial);
    // The link finds the module by serial number (serial 0: the first module of `model`),
    // connects, and automatic networking runs.
    aErr discoverAndConnect(linkType type, uint32_t serial);
    // aErrBusy when connected; otherwise stores the specifier, connects, automatic networking.
    aErr connectFromSpec(const linkSpec& specifier);
    // Connects the link again with the specifier it has; then automatic networking.
    aErr reconnect();
    // Reaches this module through the link of `linkModule`, which must be connected: copies
    // its specifier and configuration, shares its engine link and switches networking mode
    // off (set the module address of the module behind the router). Nothing happens when this
    // module is connected already. aErrParam for a null or link-less `linkModule`;
    // aErrInitialization when it is not connected.
    aErr connectThroughLinkModule(Module* linkModule);
    aErr disconnect();
    bool isConnected() const;
    // linkStatusError without a link object.
    linkStatus getStatus() const;

    uint8_t getModuleAddress() const { return mModuleAddress; }
    void setModuleAddress(uint8_t address) { mModuleAddress = address; }
    void setNetworkingMode(bool mode) { mNetworkingMode = mode; }

    // Forwarded to the link; aErrNotReady without a link object.
    aErr getLinkSpecifier(linkSpec* specifier) const;
    aErr getConfig(VeluneConfig* config) const;
    aErr setConfig(const VeluneConfig& config);
    // The link object (null when it could not be made).
    Link* getLink() { return mLink; }
    // The packet log of the link (Link::enablePacketLog); aErrConfiguration without a link
    // object.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // ---- Queries (command 73) ----

    // The module's build number. aErrParam for a null destination; aErrSize for a reply of
    // another length than 6.
    aErr getBuild(uint32_t* build);
    // Whether the module has the UEI: the module's status code (aErrNone when it has it).
    // `flags` 0 (any), 0x40 (get) or 0x80 (set); aErrParam otherwise.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    // The number of entities of a class, of subclasses of an entity, and an entity's group.
    // aErrUnknown for a reply of the wrong form (the output stays 0).
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);

    // Echo test (command 23): succeeds when the module sends the bytes back; aErrIO
    // otherwise. At most 27 bytes (aErrParam).
    aErr debug(const uint8_t* data, uint8_t length);

private:
    aErr networkAfterConnect(aErr connected);
    aErr infoQuery(const uint8_t* request, uint8_t length, uint8_t echo, uint8_t* answer);

    Link* mLink;
    uint8_t mModuleAddress;
    bool mNetworkingMode;
    uint8_t mModel;
};

} // namespace Korvel
} // namespace Olvarin

#endif
