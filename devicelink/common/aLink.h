// The link engine: one live connection to a module (or to a network of modules behind a routing
// module), named by a link identifier.
//
// A link is a byte stream, two packet FIFOs and two threads. The receive thread reads the stream
// byte by byte, frames packets (address byte, length byte, that many data bytes; nothing else on
// the wire), answers the module's heartbeats itself, shows every packet to the user filter and
// queues the rest on the inbound FIFO. The transmit thread writes what callers queue on the
// outbound FIFO. Alignment with the module's byte stream is established by synchronisation:
// bursts of empty packets to the link-control address 173, which the module answers with empty
// packets from its own address.
//
// Identifiers: unsigned 32-bit, 0 = none; given out from 1 upwards and never reused in a run.
// Creating a link for a device that this process already has open shares it: the same
// identifier comes back and a use count goes up. Each holder calls aLink_Destroy once; the last
// one really tears the link down.
//
// Ownership: packets handed to aLink_PutPacket stay the caller's (a copy is queued). Packets
// returned by the Get and Await operations belong to the caller (aPacket_Destroy).
//
// Threads: every function may be called from any thread. A link's record stays valid for an
// operation that is running on it even when another thread destroys the link meanwhile; waits
// on the inbound FIFO end with none when the link is destroyed or reset. The user filter runs
// on the receive thread; it must not destroy, reset or stop its own link.
//
// Unless stated otherwise, a function that returns aErr gives aErrParam for an identifier that
// is not in the link table.
#ifndef KORVEL_ALINK_H
#define KORVEL_ALINK_H

#include "aDefs.h"
#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

#include <cstddef>
#include <cstdint>

typedef uint32_t aLinkRef;

enum linkStatus : uint32_t {
    linkStatusStopped = 0,      // the stream exists but the threads are not running
    linkStatusInitializing = 1, // start has begun, threads not yet up
    linkStatusRunning = 2,      // receiving and in sync: the only connected state
    linkStatusStopping = 3,     // a stop is under way
    linkStatusSyncing = 4,      // a synchronisation was requested or is in progress
    linkStatusInvalid = 5,      // no stream; also the status of an unregistered identifier
    linkStatusIOError = 6,      // a stream read failed; bytes are still framed and delivered
    linkStatusError = 8,        // a received packet could not be queued on the inbound FIFO
};

// Link-control addresses and the heartbeat command are in aDefs.h (aLINK_ADDR_SYNC,
// cmdFORCEROUTE, cmdHEARTBEAT).
constexpr uint8_t aLINK_SYNC_BURST = 6; // 173-packets per synchronisation burst

// ---- Creating and destroying ------------------------------------------------------------
// Each create returns the identifier, or 0 on failure; a failure leaves nothing behind.

// USB module by serial number (non-zero): opens the USB stream, starts the link, synchronises
// (up to about 2 s) and switches the forced route on. 0 when the module cannot be opened or does
// not answer the synchronisation.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);

// TCP/IP module at an IPv4 address (network byte order) and port. Shared when a link to the
// same address and port exists. No synchronisation: usable once the receive thread runs.
aLinkRef aLink_CreateTCPIP(uint32_t address, uint16_t port);

// Module on a serial port. `key` names the device for sharing (its serial number). The baud
// rate must be one of 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400 (else 0 and no
// table entry); 8 data bits, no parity, one stop bit. No synchronisation.
aLinkRef aLink_CreateSerial(uint32_t key, const char* path, uint32_t baudRate);

// Link on a stream the caller built. The stream is handed over in every case: it belongs to the
// link on success and is destroyed on failure. Never shared. 0 for a null stream.
aLinkRef aLink_Create(aStreamRef stream);

// Drops one holder and sets *link to 0 in every case. The last holder stops the threads (the
// forced route is switched off on the way out), destroys the FIFOs, waking their waiters, and
// closes the stream.
//   aErrParam  link is null, *link is 0 or not registered
//   otherwise  aErrNone, or the result of destroying the outbound FIFO
aErr aLink_Destroy(aLinkRef* link);

// ---- Running --------------------------------------------------------------------------

// Starts the receive and transmit threads (nothing happens when they run already), waits up to
// 2 s until both are up, then queues the forced-route-on packet.
//   aErrResource    a thread could not be made
//   aErrIndexRange  the threads did not come up within 2 s
aErr aLink_Start(aLinkRef link);

// Synchronises: the receive thread sends bursts until the module answers twice from one address.
// Afterwards both FIFOs are emptied (after a 100 ms pause for late replies).
//   aErrNotReady  not in sync within 2 s; the link stays syncing and keeps sending bursts
aErr aLink_Sync(aLinkRef link);

// Queues the forced-route packet (175, one byte: value).
//   aErrNotFound  unregistered identifier; aErrMemory: no packet could be made
aErr aLink_ForceRoute(aLinkRef link, uint8_t value);

// Stops the link, destroys its FIFOs (waking their waiters) and its stream, re-creates the
// stream (up to 20 attempts, 100 ms apart), re-initialises the link (new empty FIFOs, no user
// filter) and starts it. USB and TCP/IP links can be re-created; for other kinds every attempt
// gives aErrParam. When no stream could be made the link is left stopped and the last error is
// returned.
aErr aLink_Reset(aLinkRef link);

// The link's status; linkStatusInvalid for an unregistered identifier.
linkStatus aLink_GetStatus(aLinkRef link);

// ---- Packets --------------------------------------------------------------------------

// Queues a copy of packet for the module. aErrParam also for an invalid packet.
aErr aLink_PutPacket(aLinkRef link, const aPacket* packet);

// Oldest received packet, without waiting; null when none or unregistered.
aPacket* aLink_GetPacket(aLinkRef link);

// Oldest received packet, waiting up to timeoutMs; null on time-out.
aPacket* aLink_AwaitPacket(aLinkRef link, uint32_t timeoutMs);

// Oldest received packet that filter selects, without waiting; null when none.
aPacket* aLink_GetFirst(aLinkRef link, aPacketFilter filter, void* ref);

// As GetFirst, waiting up to timeoutMs; the filter sees each packet at most once. Null on
// time-out, for a timeout of 0, and at once when the link is not running and in sync.
aPacket* aLink_AwaitFirst(aLinkRef link, aPacketFilter filter, void* ref, uint32_t timeoutMs);

// Removes the received packets that filter selects; returns how many (0 when unregistered).
size_t aLink_DrainPackets(aLinkRef link, aPacketFilter filter, void* ref);

// Installs (or, with a null filter, removes) the user filter. It sees every complete received
// packet first, heartbeats included, on the receive thread; returning 1 consumes the packet.
// Once this returns after a removal the old filter is never called again.
aErr aLink_InstallUserPacketFilter(aLinkRef link, aPacketFilter filter, void* ref);

#endif
