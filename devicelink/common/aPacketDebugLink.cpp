// The per-link packet-log functions: each finds the link's fields through the engine and runs
// the matching aLinkPacketLog_ function on them.
#include "aPacketDebug.h"

#include "aTime.h"

namespace {

struct sReadArgs {
    uint8_t* direction;
    uint32_t* length;
    uint8_t* buffer;
};

struct sWriteArgs {
    uint8_t direction;
    uint32_t length;
    const uint8_t* bytes;
};

} // namespace

aErr aLink_PacketDebug_SetLogSize(uint32_t link, int32_t size) {
    return aLink_WithPacketLog(
        link,
        [](aLinkPacketLog* log, void* context) {
            return aLinkPacketLog_SetLogSize(log, *static_cast<int32_t*>(context));
        },
        &size);
}

aErr aLink_PacketDebug_Enable(uint32_t link) {
    return aLink_WithPacketLog(
        link, [](aLinkPacketLog* log, void*) { return aLinkPacketLog_Enable(log); }, nullptr);
}

aErr aLink_PacketDebug_Disable(uint32_t link) {
    return aLink_WithPacketLog(
        link, [](aLinkPacketLog* log, void*) { return aLinkPacketLog_Disable(log); }, nullptr);
}

aErr aLink_PacketDebug_Read(uint32_t link, uint8_t* direction, uint32_t* length,
                            uint8_t* buffer) {
    sReadArgs args{direction, length, buffer};
    return aLink_WithPacketLog(
        link,
        [](aLinkPacketLog* log, void* context) {
            auto* a = static_cast<sReadArgs*>(context);
            return aLinkPacketLog_Read(log, a->direction, a->length, a->buffer);
        },
        &args);
}

aErr aLink_PacketDebug_Write(uint32_t link, uint8_t direction, uint32_t length,
                             const uint8_t* bytes) {
    sWriteArgs args{direction, length, bytes};
    return aLink_WithPacketLog(
        link,
        [](aLinkPacketLog* log, void* context) {
            auto* a = static_cast<sWriteArgs*>(context);
            return aLinkPacketLog_Write(log, a->direction, a->length, a->bytes);
        },
        &args);
}

void aLink_PacketDebug_LogProc(aFileRef file, uint32_t link) {
    aErr found = aLink_WithPacketLog(
        link,
        [](aLinkPacketLog* log, void* context) {
            aLinkPacketLog_WriteNext(log, static_cast<aFileRef>(context));
            return aErrNone;
        },
        file);
    if (found != aErrNone)
        aTime_MSSleep(5);
}
