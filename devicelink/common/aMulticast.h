// IPv4 multicast sockets for shared-device server discovery on this host.
//
// A handle is either a sender (mode 1: sends to the group and port through the interface, not
// bound) or a receiver (mode 0: bound to the port on every address, with address reuse off, so
// a second receiver on the same port of this host fails to be created; that failure is how
// discovery probes for a server). Both join the group on the interface, send through it with a
// time-to-live of 1 and multicast loopback on, and time receives out after 1 s.
//
// Ownership: the caller owns a handle and frees it with aMulticast_Destroy.
// Threads: a handle is used by one thread at a time.
// Results are plain integers (not aErr): byte counts, or the negative codes below.
#ifndef KORVEL_AMULTICAST_H
#define KORVEL_AMULTICAST_H

#include <cstdint>

struct aMulticast;
typedef aMulticast* aMulticastRef;

constexpr int aMULTICAST_RECEIVER = 0;
constexpr int aMULTICAST_SENDER = 1;

constexpr int aMULTICAST_FAILED = -1;    // send or receive failed, or the receive timed out
constexpr int aMULTICAST_NO_HANDLE = -2; // null handle (or variable)
constexpr int aMULTICAST_WRONG_MODE = -3; // send on a receiver, receive on a sender

// New handle. `interface` and `group` are IPv4 addresses in network byte order; an interface of
// 0 means 127.0.0.1. `port` 0 to 65535; `mode` aMULTICAST_RECEIVER or aMULTICAST_SENDER. Null
// when the port is out of range, the mode unknown, the socket cannot be made or set up, or (for
// a receiver) the port is in use on this host.
aMulticastRef aMulticast_Create(uint32_t interface, uint32_t group, int port, int mode);

// Sends `length` bytes as one datagram to the group and port. Returns the bytes sent, or
// aMULTICAST_FAILED, aMULTICAST_NO_HANDLE, aMULTICAST_WRONG_MODE (a null `data` with a non-zero
// length fails).
int aMulticast_Send(aMulticastRef handle, const void* data, unsigned length);

// Receives one datagram of up to `size` bytes (a longer one is cut). Returns the bytes received,
// or aMULTICAST_FAILED (error, or nothing within 1 s; also for a null buffer or a size below 1),
// aMULTICAST_NO_HANDLE, aMULTICAST_WRONG_MODE.
int aMulticast_Receive(aMulticastRef handle, void* buffer, int size);

// Closes the socket, frees the handle, sets *handle to null and returns 0; aMULTICAST_NO_HANDLE
// when `handle` or *handle is null.
int aMulticast_Destroy(aMulticastRef* handle);

#endif
