// A full virtual module (or a routing module with modules behind it) on a TCP listener, and the
// helpers the object-layer tests share.
#ifndef KORVEL_TEST_VIRTUALNETWORK_H
#define KORVEL_TEST_VIRTUALNETWORK_H

#include "Link.h"
#include "LinkBytes.h"
#include "Network.h"
#include "TcpTransport.h"
#include "VirtualModule.h"
#include "discover.h"

#include <arpa/inet.h>
#include <cstring>
#include <functional>
#include <vector>

// The configuration the application gives every module: no shared-device server, no fallback.
inline Olvarin::Korvel::VeluneConfig sharingOff() {
    Olvarin::Korvel::VeluneConfig c;
    c.enabled = 0;
    c.fallback = 0;
    return c;
}

inline vmod::Config linkConfig(uint8_t address, uint32_t serial) {
    vmod::Config c;
    c.address = address;
    c.serialNumber = serial;
    c.heartbeatMs = 0;
    return c;
}

// The virtual module on loopback TCP: link logic, device logic, listener.
struct VirtualTcpModule {
    explicit VirtualTcpModule(uint8_t address = 4, uint32_t serial = 0x1234ABCD, vmod::DeviceConfig device = {})
        : link(linkConfig(address, serial)), network(link, device), tcp(link) {}

    linkSpec spec() const {
        linkSpec s;
        memset(&s, 0, sizeof s);
        s.type = TCPIP;
        s.serialNumber = link.config().serialNumber;
        s.ip.ipAddress = htonl(INADDR_LOOPBACK);
        s.ip.ipPort = tcp.port();
        return s;
    }

    vmod::Module link;
    vmod::Network network;
    vmod::TcpTransport tcp;
};

// The packets the modules received, each as its data bytes, starting at `from`.
inline std::vector<std::vector<uint8_t>> requestData(const vmod::Network& n, size_t from = 0) {
    std::vector<std::vector<uint8_t>> out;
    auto frames = n.requests();
    for (size_t i = from; i < frames.size(); ++i)
        out.push_back(frames[i].data);
    return out;
}

// Polls until the condition holds, up to `timeoutMs`.
inline bool eventually(const std::function<bool()>& condition, int timeoutMs = 2000) {
    return waitUntil(condition, timeoutMs);
}

#endif
