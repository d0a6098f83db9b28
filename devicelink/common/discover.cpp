#include "discover.h"

#include "aCzmq.h"
#include "aDebugging.h"
#include "aMulticast.h"
#include "unix_discovery.h"
#include "zBeaconInterface.h"

#include <arpa/inet.h>
#include <czmq.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void sPutLE32(uint8_t* at, uint32_t value) {
    at[0] = uint8_t(value);
    at[1] = uint8_t(value >> 8);
    at[2] = uint8_t(value >> 16);
    at[3] = uint8_t(value >> 24);
}

uint32_t sGetLE32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

struct sFindContext {
    linkSpec* result;
    bool anySerial; // FindFirstModule: any serial number but 0
};

bool sFindProc(const linkSpec* spec, bool* found, void* context) {
    auto* find = static_cast<sFindContext*>(context);
    bool match = find->anySerial ? spec->serialNumber != 0
                                 : spec->serialNumber == find->result->serialNumber;
    if (!match)
        return true;
    memcpy(find->result, spec, sizeof(linkSpec));
    *found = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool anySerial, uint32_t networkInterface) {
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec)
        return nullptr;
    spec->serialNumber = serialNumber;
    sFindContext find{spec, anySerial};
    if (aDiscovery_EnumerateModules(type, sFindProc, &find, networkInterface) == 0)
        (void)aLinkSpec_Destroy(&spec);
    return spec;
}

// Shared-device server discovery.
constexpr const char* sSERVER_GROUP = "224.0.0.7";
constexpr int sSERVER_PORTS = 50;
constexpr int sSERVER_REQUEST_PORT = 9850; // + n: the server listens
constexpr int sSERVER_REPLY_PORT = 9950;   // + n: the server replies
constexpr uint32_t sSERVER_REQUEST = 0xABCDDCBA;
constexpr int sBEACON_PORT = 8585;
constexpr const char* sBEACON_PUBLICATION = "Korvel2-Discovery";
constexpr int sBEACON_INTERVAL_MS = 100;
constexpr int sBEACON_ATTEMPTS = 22;
constexpr int sMAX_INTERFACES = 50;

// Specifiers already reported in one search, by serial number.
struct sServerSearch {
    aDiscoveryModuleFoundProc callback;
    void* context;
    std::vector<uint32_t> reported;
    uint8_t count = 0;
    bool goOn = true;

    // Hands a 128-byte payload to the callback when it is a specifier not yet reported (and,
    // for a local search, one that names this host).
    void offer(const uint8_t* payload, size_t length, bool localOnly) {
        linkSpec spec;
        if (aLinkSpec_Unpack(payload, length, &spec) != aErrNone)
            return;
        if (localOnly && spec.ip.ipAddress != htonl(INADDR_LOOPBACK))
            return;
        if (std::find(reported.begin(), reported.end(), spec.serialNumber) != reported.end())
            return;
        reported.push_back(spec.serialNumber);
        bool found = false;
        goOn = callback(&spec, &found, context);
        if (found)
            ++count;
    }
};

// Asks the server whose request port is in use, if any, for its specifier.
void sAskLocalServer(sServerSearch& search, int n) {
    uint32_t loopback = htonl(INADDR_LOOPBACK);
    in_addr group{};
    inet_pton(AF_INET, sSERVER_GROUP, &group);
    aMulticastRef probe =
        aMulticast_Create(loopback, group.s_addr, sSERVER_REQUEST_PORT + n, aMULTICAST_RECEIVER);
    if (probe) { // nobody holds the port: no server there
        (void)aMulticast_Destroy(&probe);
        return;
    }
    aMulticastRef receiver =
        aMulticast_Create(loopback, group.s_addr, sSERVER_REPLY_PORT + n, aMULTICAST_RECEIVER);
    aMulticastRef sender =
        aMulticast_Create(loopback, group.s_addr, sSERVER_REQUEST_PORT + n, aMULTICAST_SENDER);
    if (receiver && sender) {
        const uint8_t request[4] = {uint8_t(sSERVER_REQUEST), uint8_t(sSERVER_REQUEST >> 8),
                                    uint8_t(sSERVER_REQUEST >> 16),
                                    uint8_t(sSERVER_REQUEST >> 24)};
        // One byte more than a specifier, so that a longer datagram is not mistaken for one.
        uint8_t reply[aLINKSPEC_SIZE + 1];
        if (aMulticast_Send(sender, request, sizeof request) == int(sizeof request)) {
            int length = aMulticast_Receive(receiver, reply, sizeof reply);
            aTRACE(aDEBUG_MULTICAST, "port %d: reply of %d bytes", sSERVER_REQUEST_PORT + n,
                   length);
            if (length > 0)
                search.offer(reply, size_t(length), true);
        }
    }
    if (sender)
        (void)aMulticast_Destroy(&sender);
    if (receiver)
        (void)aMulticast_Destroy(&receiver);
}

void sSearchLocalServers(sServerSearch& search) {
    for (int n = 0; n < sSERVER_PORTS && search.goOn; ++n)
        sAskLocalServer(search, n);
}

// Listens for server beacons on the interface with the dotted address `interface`.
void sSearchBeacons(sServerSearch& search, const char* interface) {
    if (!zBeaconInterface_backupSetAndLock(interface))
        return;
    aCzmq_Prepare();
    zactor_t* beacon = zactor_new(zbeacon, nullptr);
    if (beacon) {
        zsock_set_rcvtimeo(beacon, 2000);
        zsock_send(beacon, "si", "CONFIGURE", sBEACON_PORT);
        char* host = zstr_recv(beacon);
        // An empty answer: no usable interface, the beacon cannot publish.
        if (host && *host) {
            zsock_send(beacon, "sbi", "PUBLISH", sBEACON_PUBLICATION,
                       strlen(sBEACON_PUBLICATION), sBEACON_INTERVAL_MS);
            zsock_send(beacon, "sb", "SUBSCRIBE", "", size_t(0));
            zsock_set_rcvtimeo(beacon, sBEACON_INTERVAL_MS);
            for (int attempt = 0; attempt < sBEACON_ATTEMPTS && search.goOn; ++attempt) {
                char* sender = zstr_recv(beacon);
                if (!sender)
                    continue;
                zframe_t* payload = zframe_recv(beacon);
                if (payload)
                    search.offer(zframe_data(payload), zframe_size(payload), false);
                zframe_destroy(&payload);
                zstr_free(&sender);
            }
            zstr_sendx(beacon, "SILENCE", nullptr);
            zstr_sendx(beacon, "UNSUBSCRIBE", nullptr);
        } else {
            aTRACE(aDEBUG_BEACON, "no beacon on interface %s", interface);
        }
        zstr_free(&host);
        zactor_destroy(&beacon);
    }
    zBeaconInterface_restoreAndUnlock();
}

} // namespace

uint8_t aDiscovery_Enumerate_VeluneModules(aDiscoveryModuleFoundProc callback, void* context,
                                           uint32_t networkInterface) {
    if (!callback)
        return 0;
    sServerSearch search{callback, context, {}};
    bool local = networkInterface == 0 || networkInterface == htonl(INADDR_LOOPBACK);
    uint32_t interfaces[sMAX_INTERFACES];
    char text[INET_ADDRSTRLEN];
    if (local || aDiscovery_GetIPv4Interfaces(interfaces, sMAX_INTERFACES) == 0)
        sSearchLocalServers(search);
    else if (aDiscovery_ConvertIPv4Interface(networkInterface, text, sizeof text) > 0)
        sSearchBeacons(search, text);
    return search.count;
}

linkSpec* aLinkSpec_Create(linkType type) {
    auto* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec)
        spec->type = type;
    return spec;
}

linkSpec* aLinkSpec_Copy(const linkSpec* spec) {
    if (!spec)
        return nullptr;
    auto* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy)
        memcpy(copy, spec, sizeof(linkSpec));
    return copy;
}

aErr aLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec)
        return aErrParam;
    free(*spec);
    *spec = nullptr;
    return aErrNone;
}

aErr aLinkSpec_Pack(const linkSpec* spec, uint8_t bytes[aLINKSPEC_SIZE]) {
    if (!spec || !bytes)
        return aErrParam;
    const uint32_t head[6] = {spec->type,   spec->serialNumber,       spec->module,
                              spec->router, spec->routerSerialNumber, spec->model};
    for (size_t i = 0; i < 6; ++i)
        sPutLE32(bytes + 4 * i, head[i]);
    switch (spec->type) {
        case TCPIP:
        case CLIENT:
            memset(bytes + 24, 0, aLINKSPEC_SIZE - 24);
            memcpy(bytes + 24, &spec->ip.ipAddress, 4); // already in network order
            sPutLE32(bytes + 28, spec->ip.ipPort);
            break;
        case SERIAL:
            sPutLE32(bytes + 24, spec->serial.baudRate);
            memcpy(bytes + 28, spec->serial.portName, aLINKSPEC_PORTNAME_SIZE);
            break;
        default: // USB and unknown types: the first word as a number, the rest as it stands
            sPutLE32(bytes + 24, spec->usbSerialNumber);
            memcpy(bytes + 28, spec->transport + 4, sizeof spec->transport - 4);
            break;
    }
    return aErrNone;
}

aErr aLinkSpec_Unpack(const uint8_t* bytes, size_t length, linkSpec* spec) {
    if (!bytes || !spec)
        return aErrParam;
    memset(spec, 0, sizeof *spec);
    if (length != aLINKSPEC_SIZE)
        return aErrSize;
    spec->type = linkType(sGetLE32(bytes));
    spec->serialNumber = sGetLE32(bytes + 4);
    spec->module = sGetLE32(bytes + 8);
    spec->router = sGetLE32(bytes + 12);
    spec->routerSerialNumber = sGetLE32(bytes + 16);
    spec->model = sGetLE32(bytes + 20);
    switch (spec->type) {
        case TCPIP:
        case CLIENT:
            memcpy(&spec->ip.ipAddress, bytes + 24, 4);
            spec->ip.ipPort = sGetLE32(bytes + 28);
            break;
        case SERIAL:
            spec->serial.baudRate = sGetLE32(bytes + 24);
            memcpy(spec->serial.portName, bytes + 28, aLINKSPEC_PORTNAME_SIZE);
            spec->serial.portName[aLINKSPEC_PORTNAME_SIZE - 1] = '\0';
            break;
        default:
            spec->usbSerialNumber = sGetLE32(bytes + 24);
            memcpy(spec->transport + 4, bytes + 28, sizeof spec->transport - 4);
            break;
    }
    return aErrNone;
}

uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* context, uint32_t networkInterface) {
    if (!callback)
        return 0;
    switch (type) {
        case USB:
            return aDiscovery_EnumerateUSBModules(callback, context);
        case TCPIP:
            return aDiscovery_EnumerateTCPIPModules(callback, context);
        case CLIENT:
            return aDiscovery_Enumerate_VeluneModules(callback, context, networkInterface);
        default:
            return 0;
    }
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, false, networkInterface);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, true, networkInterface);
}

int aDiscovery_GetIPv4Interfaces(uint32_t* list, int capacity) {
    if (!list || capacity < 1)
        return 0;
    aCzmq_Prepare();
    ziflist_t* interfaces = ziflist_new();
    if (!interfaces)
        return 0;
    int count = 0;
    for (const char* name = ziflist_first(interfaces); name && count < capacity;
         name = ziflist_next(interfaces)) {
        in_addr address{};
        if (inet_pton(AF_INET, ziflist_address(interfaces), &address) == 1)
            list[count++] = address.s_addr;
    }
    ziflist_destroy(&interfaces);
    return count;
}

int aDiscovery_ConvertIPv4Interface(uint32_t address, char* text, int length) {
    if (!text || length < INET_ADDRSTRLEN)
        return 0;
    memset(text, 0, size_t(length));
    in_addr in{};
    in.s_addr = address;
    if (!inet_ntop(AF_INET, &in, text, socklen_t(length)))
        return 0;
    return int(strlen(text));
}
