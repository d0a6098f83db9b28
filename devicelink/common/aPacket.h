// One device packet: a module address, a length of 0 to 28 and the data bytes.
//
// Records live on the heap and have exactly one owner at a time (a packet FIFO, the link
// engine's receive accumulator, or the caller that took one out of a FIFO). They are made only
// by aPacket_Create, aPacket_CreateWithData or aPacket_Copy and released only by
// aPacket_Destroy. Every function checks the record's check word first (aVALIDPACKET).
//
// By convention data byte 0 is the command, byte 1 the option byte and byte 2 the index byte
// (see aUEI.h). No function keeps state; a record may be used by one thread at a time.
#ifndef KORVEL_APACKET_H
#define KORVEL_APACKET_H

#include "aError.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t aPACKET_MAX_DATA = 28;  // data bytes per packet
constexpr uint8_t aPACKET_MAX_FRAME = 30; // address byte + length byte + data bytes
constexpr uint16_t aPACKET_CHECK = 0xBEEF;

struct aPacket {
    uint16_t check;   // aPACKET_CHECK in every live record
    uint8_t curSize;  // framing bytes accumulated so far; complete at dataSize + 2
    uint8_t address;  // module address (even, non-zero) or a link-control address
    uint8_t dataSize; // valid data bytes, 0 to aPACKET_MAX_DATA
    uint8_t data[aPACKET_MAX_DATA];
};
static_assert(offsetof(aPacket, check) == 0, "packet layout");
static_assert(offsetof(aPacket, curSize) == 2, "packet layout");
static_assert(offsetof(aPacket, address) == 3, "packet layout");
static_assert(offsetof(aPacket, dataSize) == 4, "packet layout");
static_assert(offsetof(aPacket, data) == 5, "packet layout");
static_assert(sizeof(aPacket) == 34, "packet layout");

inline bool aVALIDPACKET(const aPacket* packet) {
    return packet != nullptr && packet->check == aPACKET_CHECK;
}

// A new empty record (everything zero but the check word). Caller owns the result; null when
// memory runs out.
aPacket* aPacket_Create();

// A new record holding address, length data bytes copied from data, and curSize = length + 2.
// Any address is accepted (link-control packets use 173 and 175). Null when data is null (even
// for length 0), when length exceeds aPACKET_MAX_DATA, or when memory runs out. Caller owns the
// result.
aPacket* aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data);

// A new record with the address, length and data of packet; null for an invalid record or when
// memory runs out. Caller owns the result.
aPacket* aPacket_Copy(const aPacket* packet);

// Data byte 0 (command), byte 1 masked with 0x3F (option code), byte 2 masked with 0x1F (entity
// index). *out is cleared first and set only on success.
//   aErrParam   out is null
//   aErrPacket  invalid record, or dataSize below 1, 2 or 3 respectively
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* out);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out);

// Clears curSize, address, dataSize and all data bytes, ready to assemble the next packet.
//   aErrParam  invalid record
aErr aPacket_Reset(aPacket* packet);

// Appends one received framing byte: first the address (even, non-zero), then the length
// (0 to 28), then the data bytes.
//   aErrParam    invalid record
//   aErrOverrun  more than aPACKET_MAX_FRAME bytes were fed
//   aErrPacket   zero or odd address, length above 28, or a byte beyond the packet's length
// After any error the record is inconsistent and the caller resets it before reuse.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True when the record is valid, its length is at most aPACKET_MAX_DATA and it holds all
// dataSize + 2 framing bytes.
bool aPacket_IsComplete(const aPacket* packet);

// Releases *packet and sets *packet to null.
//   aErrParam  packet or *packet is null, or *packet is not a valid record (left untouched)
aErr aPacket_Destroy(aPacket** packet);

#endif
