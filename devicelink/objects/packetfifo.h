// Packet FIFOs: the hand-over point between the link engine's threads and their users.
//
// A FIFO is named by a 64-bit identifier (0 = none) from a process-wide dictionary, so a FIFO
// that was destroyed can never be reached through a stale identifier: every operation on an
// unregistered identifier simply fails. Identifiers start at 1 and are never reused in a run
// (until the 64-bit counter wraps, which skips 0).
//
// Ownership: Put stores its own copy, the caller keeps its packet. Every packet returned by Get,
// Await, GetFirst and AwaitFirst is a new record owned by the caller, released with
// aPacket_Destroy. A FIFO never shares a packet with its callers.
//
// Capacity: at most aPACKETFIFO_CAPACITY packets. A Put that would exceed it discards the whole
// backlog, the new packet included: a FIFO that nobody reads is reset, not trimmed.
//
// Threads: any number of threads may call any operation on any FIFO at once. Filters run with
// the FIFO's lock held: they must be short and must not call back into the same FIFO. A FIFO
// object lives until the last operation running on it returns, even when it is destroyed
// meanwhile; Destroy wakes every waiter, which then returns null.
//
// Nothing here throws; internal failures come back as the failure result of each function.
#ifndef KORVEL_PACKETFIFO_H
#define KORVEL_PACKETFIFO_H

#include "aError.h"
#include "aPacket.h"

#include <cstddef>
#include <cstdint>

typedef uint64_t aPacketFifoID;

constexpr size_t aPACKETFIFO_CAPACITY = 1000;

// Selects a packet: returns non-zero to select it. `ref` is the caller's opaque reference; a
// filter may keep state behind it (reply filters store the decoded value there).
typedef uint8_t (*aPacketFilter)(const aPacket* packet, void* ref);

// A new empty FIFO; its identifier, or 0 when memory runs out.
aPacketFifoID aPacketFifo_Create();

// Removes the FIFO from the dictionary, releases its packets, wakes every waiter and sets
// *identifier to 0.
//   aErrParam     identifier is null
//   aErrNotFound  *identifier is not registered (already destroyed, or never made); unchanged
//   aErrUnknown   an internal failure
aErr aPacketFifo_Destroy(aPacketFifoID* identifier);

// Number of queued packets; 0 for an unregistered identifier.
size_t aPacketFifo_GetLength(aPacketFifoID identifier);

// Queues a copy of packet at the tail and wakes the waiters.
//   aErrParam     unregistered identifier, invalid packet, or the copy could not be made
//   aErrResource  the queue cannot grow
// Overflow (see Capacity) still returns aErrNone.
aErr aPacketFifo_Put(aPacketFifoID identifier, const aPacket* packet);

// Removes and returns the oldest packet without waiting; null when empty or unregistered.
aPacket* aPacketFifo_Get(aPacketFifoID identifier);

// As Get, waiting up to timeoutMs (steady clock, from the call) for a packet. Null on time-out,
// for an unregistered identifier, or when the FIFO is destroyed while waiting. 0 does not wait.
aPacket* aPacketFifo_Await(aPacketFifoID identifier, uint32_t timeoutMs);

// Removes and returns the oldest packet that filter selects, without waiting; the others keep
// their order. Null when none is selected, for a null filter or an unregistered identifier.
aPacket* aPacketFifo_GetFirst(aPacketFifoID identifier, aPacketFilter filter, void* ref);

// As GetFirst, waiting up to timeoutMs for a selected packet. Within one call the filter sees
// each packet at most once, however often the waiter wakes: the packets queued at the call,
// then each packet as it arrives. Null on time-out, null filter, unregistered identifier or
// destruction.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoID identifier, aPacketFilter filter, void* ref,
                                uint32_t timeoutMs);

// Removes and releases every packet that filter selects (each is seen once), keeping the rest in
// order. Returns the number removed; 0 for a null filter or an unregistered identifier.
size_t aPacketFifo_DrainPackets(aPacketFifoID identifier, aPacketFilter filter, void* ref);

#endif
