// UEI values: the get / set / value exchange with one entity of a module, inside a packet.
//
// Layout of a UEI packet (all multi-byte values big-endian):
//   data[0]  command (entity class)
//   data[1]  option byte: code in bits 0-5, ueiOPTION_GET, ueiOPTION_SET, both for a set reply
//   data[2]  index byte: entity index in bits 0-4, ueiSPECIFIER_REQUEST on every host request,
//            ueiSPECIFIER_STREAM on stream samples, ueiSPECIFIER_ERROR on error replies
//   data[3]  value, or subindex then value; an error reply carries an aErr code here
// Byte strings travel in sequenced packets whose last data byte is the sequence byte: number
// in bits 0-6 (0 first), ueiBYTES_CONTINUE when more packets follow.
//
// All functions are pure and thread-safe; the ones taking a packet never take ownership.
#ifndef KORVEL_AUEI_H
#define KORVEL_AUEI_H

#include "aError.h"
#include "aPacket.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t ueiOPTION_MASK = 0x3F;
constexpr uint8_t ueiOPTION_GET = 0x40;
constexpr uint8_t ueiOPTION_SET = 0x80;
constexpr uint8_t ueiOPTION_SET_REPLY = 0xC0;

constexpr uint8_t ueiSPECIFIER_INDEX_MASK = 0x1F;
constexpr uint8_t ueiSPECIFIER_REQUEST = 0x20;
constexpr uint8_t ueiSPECIFIER_STREAM = 0x40;
constexpr uint8_t ueiSPECIFIER_ERROR = 0x80;

constexpr uint8_t ueiBYTES_SEQUENCE_MASK = 0x7F;
constexpr uint8_t ueiBYTES_CONTINUE = 0x80;
constexpr size_t ueiBYTES_CHUNK = 24; // string bytes per set-of-bytes packet

// Packet data sizes of the reply forms with a decoded value.
constexpr uint8_t ueiREPLY_SIZE_VOID = 3;
constexpr uint8_t ueiREPLY_SIZE_BYTE = 4;
constexpr uint8_t ueiREPLY_SIZE_SHORT = 5;
constexpr uint8_t ueiREPLY_SIZE_INT = 7;

enum ueiType : uint32_t {
    ueiTypeVoid = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
};

// The host's record of one UEI transaction.
struct uei {
    uint8_t module;    // module address
    uint8_t command;   // entity class command code
    uint8_t option;    // option byte as it travels (code plus flag bits)
    uint8_t specifier; // index byte as it travels (index plus flag bits)
    union {
        uint8_t byteVal; // also the aErr code of an error reply
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes; // caller-owned buffer; the write position during a multi-packet get
    } v;
    uint8_t sequence;       // sequence number expected next in a multi-packet get
    uint8_t more;           // continue flag of the last multi-packet reply accepted
    size_t bufferLength;    // bytes to send (set) or buffer capacity (get)
    size_t* receivedLength; // caller-owned; a multi-packet get adds the bytes it stores
    ueiType type;
};

// Big-endian value helpers. Store* return aErrParam for a null buffer; Retrieve* return 0 for it.
aErr aUEI_StoreShort(uint8_t* buffer, uint16_t value);
aErr aUEI_StoreInt(uint8_t* buffer, uint32_t value);
uint16_t aUEI_RetrieveShort(const uint8_t* buffer);
uint32_t aUEI_RetrieveInt(const uint8_t* buffer);

// Converts count 32-bit words in place from the big-endian order they arrived in to host order.
//   aErrParam  words is null while count is not 0
aErr aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// The sequence byte (last data byte) of a bytes packet: its number (bits 0-6) and its continue
// bit. Both are 0 for an invalid or empty packet.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
uint8_t aUEI_getBytesContinue(const aPacket* packet);

// True when the packet is a full bytes packet (dataSize 27 or 28).
bool aUEI_getBytesFullPacket(const aPacket* packet);

// True when data byte 0 is a command that carries no UEI payload (heartbeat, slots, I2C, echo,
// module information, factory data, upgrade, link control...). An empty packet carries no
// payload either. False for an invalid packet.
bool aUEI_isNotUEIPayload(const aPacket* packet);

// True for a valid packet that carries a UEI payload; false for an invalid packet.
bool aUEI_isUEIPayload(const aPacket* packet);

// True for a UEI stream sample: dataSize above 4, neither get nor set bit in the option byte,
// ueiSPECIFIER_STREAM in the index byte.
bool aUEI_isStreamPacket(const aPacket* packet);

// Number of packets a set of request->bufferLength bytes takes (at least 1: an empty string
// still sends one packet).
size_t aUEI_SetBytesPacketCount(const uei* request);

// Builds packet number `number` (0 first) of the set-of-bytes sequence for request: addressed
// to request->module, data command, option code | ueiOPTION_SET, index | ueiSPECIFIER_REQUEST,
// up to ueiBYTES_CHUNK bytes of request->v.bytes, then the sequence byte (number modulo 128,
// ueiBYTES_CONTINUE when bytes remain after this chunk). *packet is cleared first; the caller
// owns the new packet.
//   aErrParam   packet or request null, v.bytes null with a non-zero bufferLength, or number not
//               below aUEI_SetBytesPacketCount(request)
//   aErrMemory  no memory for the packet
aErr aUEI_CreateSetBytesPacket(const uei* request, size_t number, aPacket** packet);

#endif
