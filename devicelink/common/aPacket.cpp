#include "aPacket.h"

#include <cstdlib>
#include <cstring>

aPacket* aPacket_Create() {
    auto* packet = static_cast<aPacket*>(std::calloc(1, sizeof(aPacket)));
    if (packet) packet->check = aPACKET_CHECK;
    return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, size_t length, const uint8_t* data) {
    if (!data || length > aPACKET_MAX_DATA) return nullptr;
    aPacket* packet = aPacket_Create();
    if (!packet) return nullptr;
    packet->address = address;
    packet->dataSize = static_cast<uint8_t>(length);
    packet->curSize = static_cast<uint8_t>(length + 2);
    std::memcpy(packet->data, data, length);
    return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!aVALIDPACKET(packet) || packet->dataSize > aPACKET_MAX_DATA) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

namespace {

aErr sGetByte(const aPacket* packet, uint8_t* out, uint8_t position, uint8_t mask) {
    if (!out) return aErrParam;
    *out = 0;
    if (!aVALIDPACKET(packet) || packet->dataSize <= position) return aErrPacket;
    *out = packet->data[position] & mask;
    return aErrNone;
}

} // namespace

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* out) {
    return sGetByte(packet, out, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* out) {
    return sGetByte(packet, out, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* out) {
    return sGetByte(packet, out, 2, 0x1F);
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    packet->curSize = 0;
    packet->address = 0;
    packet->dataSize = 0;
    std::memset(packet->data, 0, sizeof(packet->data));
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) return aErrParam;

    // Stop counting one past the frame limit so that a caller that keeps feeding an overrun
    // record keeps getting aErrOverrun instead of wrapping back to an "empty" count.
    if (packet->curSize > aPACKET_MAX_FRAME) return aErrOverrun;
    packet->curSize++;
    if (packet->curSize > aPACKET_MAX_FRAME) return aErrOverrun;

    if (packet->address == 0) {
        if (byte == 0 || (byte & 1) != 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }

    // The length is the second framing byte. Keying on the position (not only on dataSize being
    // 0) keeps a byte that follows a complete empty packet from being taken as a new length.
    if (packet->dataSize == 0 && packet->curSize == 2) {
        packet->dataSize = byte;
        return byte > aPACKET_MAX_DATA ? aErrPacket : aErrNone;
    }

    if (packet->curSize > packet->dataSize + 2) return aErrPacket;
    packet->data[packet->curSize - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    // A refused length byte stays stored, so the length limit is checked here too: such a
    // record must never count as complete once enough bytes have been fed.
    return aVALIDPACKET(packet) && packet->dataSize <= aPACKET_MAX_DATA &&
           packet->curSize == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !aVALIDPACKET(*packet)) return aErrParam;
    (*packet)->check = 0; // a stale pointer to the freed record no longer passes the check
    std::free(*packet);
    *packet = nullptr;
    return aErrNone;
}
