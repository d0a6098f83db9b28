// The operating-system half of module discovery: USB enumeration through the library's shared
// libusb context, and TCP/IP discovery over UDP multicast. Callers use aDiscovery_EnumerateModules
// (discover.h), which holds the callback contract; these two do not check their arguments.
#ifndef KORVEL_UNIX_DISCOVERY_H
#define KORVEL_UNIX_DISCOVERY_H

#include "discover.h"

// TCP/IP discovery wire constants.
constexpr uint16_t aDISCOVERY_REQUEST_PORT = 9888;   // modules listen here
constexpr uint16_t aDISCOVERY_REPLY_PORT = 9889;     // replies come back here
constexpr const char* aDISCOVERY_GROUP = "232.2.2.2";
constexpr size_t aDISCOVERY_REQUEST_SIZE = 16;       // byte 0 = 1, the rest 0
constexpr size_t aDISCOVERY_REPLY_SIZE = 16;
constexpr unsigned aDISCOVERY_REPLY_WAIT_MS = 2000;  // receiving ends after this much silence

// Family modules on USB (is_korvel_device), in the order libusb lists them, whose serial-number
// string is exactly 8 hexadecimal digits (anything else cannot name a module and is skipped).
// Stops opening devices as soon as the callback returns false. Creates the shared libusb context
// when there is none.
uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void* context);

// Sends the discovery request on every IPv4 interface but 127.0.0.1 and 0.0.0.0 (one request
// without a chosen interface when the list cannot be read) and reports each reply until 2 s pass
// without one or the callback returns false. Replies shorter than 8 bytes carry no serial number
// and are skipped.
uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryModuleFoundProc callback, void* context);

#endif
