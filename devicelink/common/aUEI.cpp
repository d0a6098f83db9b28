#include "aUEI.h"

#include "aDefs.h"

#include <cstring>

aErr aUEI_StoreShort(uint8_t* buffer, uint16_t value) {
    if (!buffer) return aErrParam;
    buffer[0] = static_cast<uint8_t>(value >> 8);
    buffer[1] = static_cast<uint8_t>(value);
    return aErrNone;
}

aErr aUEI_StoreInt(uint8_t* buffer, uint32_t value) {
    if (!buffer) return aErrParam;
    buffer[0] = static_cast<uint8_t>(value >> 24);
    buffer[1] = static_cast<uint8_t>(value >> 16);
    buffer[2] = static_cast<uint8_t>(value >> 8);
    buffer[3] = static_cast<uint8_t>(value);
    return aErrNone;
}

uint16_t aUEI_RetrieveShort(const uint8_t* buffer) {
    if (!buffer) return 0;
    return static_cast<uint16_t>((buffer[0] << 8) | buffer[1]);
}

uint32_t aUEI_RetrieveInt(const uint8_t* buffer) {
    if (!buffer) return 0;
    return (static_cast<uint32_t>(buffer[0]) << 24) | (static_cast<uint32_t>(buffer[1]) << 16) |
           (static_cast<uint32_t>(buffer[2]) << 8) | static_cast<uint32_t>(buffer[3]);
}

aErr aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return count == 0 ? aErrNone : aErrParam;
    for (size_t i = 0; i < count; ++i) {
        uint8_t bytes[4];
        std::memcpy(bytes, &words[i], sizeof(bytes));
        words[i] = aUEI_RetrieveInt(bytes);
    }
    return aErrNone;
}

namespace {

bool sHasData(const aPacket* packet) {
    return aVALIDPACKET(packet) && packet->dataSize > 0 && packet->dataSize <= aPACKET_MAX_DATA;
}

} // namespace

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    if (!sHasData(packet)) return 0;
    return packet->data[packet->dataSize - 1] & ueiBYTES_SEQUENCE_MASK;
}

uint8_t aUEI_getBytesContinue(const aPacket* packet) {
    if (!sHasData(packet)) return 0;
    return (packet->data[packet->dataSize - 1] & ueiBYTES_CONTINUE) ? 1 : 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    return aVALIDPACKET(packet) && (packet->dataSize == 27 || packet->dataSize == 28);
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!aVALIDPACKET(packet)) return false;
    if (packet->dataSize == 0) return true;
    switch (packet->data[0]) {
        case cmdHEARTBEAT:
        case 1:
        case 2:
        case cmdSLOT:
        case cmdI2C:
        case 9:
        case cmdECHO:
        case 24:
        case cmdMODULE_INFO:
        case cmdFACTORY:
        case cmdUPGRADE:
        case aLINK_ADDR_SYNC:
        case cmdFORCEROUTE:
            return true;
        default:
            return false;
    }
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return aVALIDPACKET(packet) && !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return aUEI_isUEIPayload(packet) && packet->dataSize > 4 &&
           (packet->data[1] & (ueiOPTION_GET | ueiOPTION_SET)) == 0 &&
           (packet->data[2] & ueiSPECIFIER_STREAM) != 0;
}

size_t aUEI_SetBytesPacketCount(const uei* request) {
    if (!request || request->bufferLength == 0) return 1;
    return (request->bufferLength + ueiBYTES_CHUNK - 1) / ueiBYTES_CHUNK;
}

aErr aUEI_CreateSetBytesPacket(const uei* request, size_t number, aPacket** packet) {
    if (!packet) return aErrParam;
    *packet = nullptr;
    if (!request || (!request->v.bytes && request->bufferLength != 0) ||
        number >= aUEI_SetBytesPacketCount(request))
        return aErrParam;

    const size_t offset = number * ueiBYTES_CHUNK;
    const size_t remaining = request->bufferLength - offset;
    const size_t chunk = remaining < ueiBYTES_CHUNK ? remaining : ueiBYTES_CHUNK;

    uint8_t data[aPACKET_MAX_DATA];
    data[0] = request->command;
    data[1] = static_cast<uint8_t>((request->option & ueiOPTION_MASK) | ueiOPTION_SET);
    data[2] =
        static_cast<uint8_t>((request->specifier & ueiSPECIFIER_INDEX_MASK) | ueiSPECIFIER_REQUEST);
    if (chunk) std::memcpy(&data[3], request->v.bytes + offset, chunk);
    uint8_t sequence = static_cast<uint8_t>(number & ueiBYTES_SEQUENCE_MASK);
    if (remaining > chunk) sequence |= ueiBYTES_CONTINUE;
    data[3 + chunk] = sequence;

    *packet = aPacket_CreateWithData(request->module, chunk + 4, data);
    return *packet ? aErrNone : aErrMemory;
}
