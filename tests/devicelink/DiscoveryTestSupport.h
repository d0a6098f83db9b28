// Helpers shared by the discovery tests: wire bytes written by hand (never through the library's
// own packing), and a callback that collects what discovery reports.
#ifndef KORVEL_TEST_DISCOVERYTESTSUPPORT_H
#define KORVEL_TEST_DISCOVERYTESTSUPPORT_H

#include "discover.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace discoverytest {

using Bytes = std::vector<uint8_t>;

inline uint32_t ipv4(const char* dotted) {
    in_addr address{};
    inet_pton(AF_INET, dotted, &address);
    return address.s_addr;
}

inline void put32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = uint8_t(value >> (8 * i));
}

// A shared-device server's 128-byte link specifier: type 4, serial number, model,
// the server's IPv4 address (network order) and port.
inline Bytes serverSpec(uint32_t serial, uint32_t model, const char* address, uint32_t port) {
    Bytes spec(128, 0);
    put32(spec, 0, 4);
    put32(spec, 4, serial);
    put32(spec, 20, model);
    uint32_t ip = ipv4(address);
    memcpy(&spec[24], &ip, 4);
    put32(spec, 28, port);
    return spec;
}

// What a discovery reported; `take` is what the callback answers through *found.
struct Collected {
    std::vector<linkSpec> specs;
    int calls = 0;
    bool stopAtFirst = false;
    bool take = true;
};

inline bool collect(const linkSpec* spec, bool* found, void* context) {
    auto* collected = static_cast<Collected*>(context);
    ++collected->calls;
    collected->specs.push_back(*spec);
    *found = collected->take;
    return !collected->stopAtFirst;
}

} // namespace discoverytest

#endif
