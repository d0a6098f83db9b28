// Connection specifiers and module discovery.
//
// A linkSpec says how to reach one module: over USB, over TCP/IP to a module with its own
// network interface, over a serial port, or as a client of a shared-device server. Discovery
// enumerates the modules of one transport and hands a linkSpec for each to a callback.
//
// The linkSpec is also a wire record (shared-device server replies and beacons): 128 bytes,
// every number little-endian except ipAddress, which is an IPv4 address in network byte order
// (127.0.0.1 is the bytes 7F 00 00 01). In memory the fields hold host values and ipAddress
// holds the address exactly as the socket layer has it (in_addr.s_addr); aLinkSpec_Pack and
// aLinkSpec_Unpack are the only conversions between the two.
//
// Ownership: every linkSpec returned by a function here belongs to the caller, who frees it with
// aLinkSpec_Destroy. The specifier handed to a discovery callback is valid only during the call.
//
// Threads: discovery runs on the caller's thread, blocks (USB: as long as the devices take to
// open and answer; TCP/IP: at least 2 s after the last reply; shared-device servers: see
// aDiscovery_Enumerate_VeluneModules) and keeps no state between calls, so any number of threads
// may discover at once. USB discovery uses the library's one shared libusb context.
//
// Errors: discovery never reports them. A device that cannot be opened, a socket that cannot be
// made or a network without replies gives fewer specifiers and a smaller count.
#ifndef KORVEL_DISCOVER_H
#define KORVEL_DISCOVER_H

#include "aError.h"

#include <cstddef>
#include <cstdint>

// Connection type (32-bit on the wire and in the link table).
enum linkType : uint32_t {
    INVALID = 0, // no type; where a type is returned: none was found
    USB = 1,     // module attached by USB
    TCPIP = 2,   // module with its own network interface
    SERIAL = 3,  // module on a serial port
    CLIENT = 4,  // module shared by a shared-device server, reached as its client
};

constexpr size_t aLINKSPEC_SIZE = 128;
constexpr size_t aLINKSPEC_PORTNAME_SIZE = 100;

// Transport part of a TCPIP or CLIENT specifier.
struct linkSpecIP {
    uint32_t ipAddress; // IPv4, network byte order
    uint32_t ipPort;    // TCP port, below 65536
};

// Transport part of a SERIAL specifier.
struct linkSpecSerial {
    uint32_t baudRate;
    char portName[aLINKSPEC_PORTNAME_SIZE]; // zero-terminated
};

struct linkSpec {
    linkType type;
    uint32_t serialNumber;
    uint32_t module;             // module address on the module network (even; 0 = none given)
    uint32_t router;             // address of the module that routes for it (0 = none given)
    uint32_t routerSerialNumber; // serial number of that routing module (0 = none given)
    uint32_t model;
    union {
        linkSpecIP ip;           // TCPIP, CLIENT; the rest of the transport part is zero
        linkSpecSerial serial;   // SERIAL
        uint32_t usbSerialNumber; // USB: the serial number again (written, never read)
        uint8_t transport[104];
    };
};

static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE, "linkSpec is a 128-byte wire record");
static_assert(offsetof(linkSpec, type) == 0, "type");
static_assert(offsetof(linkSpec, serialNumber) == 4, "serialNumber");
static_assert(offsetof(linkSpec, module) == 8, "module");
static_assert(offsetof(linkSpec, router) == 12, "router");
static_assert(offsetof(linkSpec, routerSerialNumber) == 16, "routerSerialNumber");
static_assert(offsetof(linkSpec, model) == 20, "model");
static_assert(offsetof(linkSpec, ip) + offsetof(linkSpecIP, ipAddress) == 24, "ipAddress");
static_assert(offsetof(linkSpec, ip) + offsetof(linkSpecIP, ipPort) == 28, "ipPort");
static_assert(offsetof(linkSpec, serial) + offsetof(linkSpecSerial, baudRate) == 24, "baudRate");
static_assert(offsetof(linkSpec, serial) + offsetof(linkSpecSerial, portName) == 28, "portName");
static_assert(offsetof(linkSpec, usbSerialNumber) == 24, "usbSerialNumber");
static_assert(sizeof(linkSpecSerial) == 104, "serial transport part fills the record");

// ---- The record ---------------------------------------------------------------------------

// New zero-filled specifier with `type` set (any value is stored as given). Null when memory
// is short. Caller owns the result.
linkSpec* aLinkSpec_Create(linkType type);

// New copy of all 128 bytes of `spec`. Null for a null `spec` or when memory is short.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);

// Frees the specifier and sets *spec to null. aErrParam when `spec` or *spec is null.
aErr aLinkSpec_Destroy(linkSpec** spec);

// Writes the 128-byte wire form of `spec` into `bytes`. aErrParam for a null argument.
aErr aLinkSpec_Pack(const linkSpec* spec, uint8_t bytes[aLINKSPEC_SIZE]);

// Reads a wire record into *spec (cleared first, filled only on success). The transport part
// is read by type; a SERIAL portName is always zero-terminated afterwards (its last byte is
// cleared). aErrParam for a null argument; aErrSize when `length` is not 128.
aErr aLinkSpec_Unpack(const uint8_t* bytes, size_t length, linkSpec* spec);

// ---- Discovery ----------------------------------------------------------------------------

// Called once per specifier found. *found is false on entry; the callback sets it to true when
// it takes the specifier. Return true to go on, false to end the enumeration at once. `spec` is
// valid only during the call: copy the 128 bytes to keep it.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* context);

// Enumerates the modules of one transport. Returns the number of specifiers for which the
// callback set *found, as an 8-bit count (it wraps after 255).
//   USB     the family's USB devices whose serial-number string is 8 hexadecimal characters.
//   TCPIP   modules answering the multicast request sent on every IPv4 interface of this host;
//           a module that answers on two interfaces is reported twice.
//   CLIENT  shared-device servers: aDiscovery_Enumerate_VeluneModules.
//   other   (INVALID, SERIAL, anything else) 0 without calling the callback.
// `networkInterface` (IPv4, network byte order) is used by CLIENT only; 0 and 127.0.0.1 mean
// this host only. A null callback gives 0.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* context, uint32_t networkInterface);

// The specifier of the first module of `type` whose serial number is `serialNumber`, with the
// transport part discovery filled in; null when none matched. Caller owns the result.
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The specifier of the first module of `type` whose serial number is not 0; null when none.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// Shared-device servers: on this host (networkInterface 0 or 127.0.0.1, or a host without IPv4
// interfaces) by multicast on the loopback interface, probing ports 9850 to 9899 and accepting
// only specifiers whose ipAddress is 127.0.0.1; otherwise by czmq beacons on the interface with
// that address. Each serial number is reported at most once per call. Blocks up to about 1 s
// per local server found, or about 2.2 s of beacon listening. Count and callback as
// aDiscovery_EnumerateModules. While a beacon search runs it holds the process-wide beacon
// interface lock (zBeaconInterface.h): a thread holding that lock must not call this.
uint8_t aDiscovery_Enumerate_VeluneModules(aDiscoveryModuleFoundProc callback, void* context,
                                           uint32_t networkInterface);

// ---- Network interfaces -------------------------------------------------------------------

// Fills `list` with the IPv4 addresses (network byte order) of this host's network interfaces
// as czmq's interface list has them (up, broadcast-capable, not loopback), at most `capacity`,
// and returns how many it stored. 0 for a null list or a capacity below 1.
int aDiscovery_GetIPv4Interfaces(uint32_t* list, int capacity);

// Writes the dotted form of `address` (network byte order) into `text` (zero-filled first) and
// returns its length; 0 when `text` is null, `length` is below 16 or the conversion fails.
int aDiscovery_ConvertIPv4Interface(uint32_t address, char* text, int length);

#endif
