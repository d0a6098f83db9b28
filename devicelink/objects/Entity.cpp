#include "Entity.h"

#include <cstring>
#include <new>

namespace Olvarin {
namespace Korvel {

namespace {

constexpr uint8_t kMaxIndex = 31;
constexpr uint8_t kAny = 0xFF;

// Reply filter of a byte-string get: takes the packets of the transfer strictly in sequence
// and appends their bytes. The record's v.bytes is the write position, bufferLength the room
// left, sequence the number expected next; an error (the module's, or aErrMemory for a packet
// that does not fit) sets ueiSPECIFIER_ERROR in specifier and the code in v.byteVal.
uint8_t sBytesFilter(const aPacket* p, void* ref) {
    uei* r = static_cast<uei*>(ref);
    if (p->address != r->module || p->dataSize < 3 || p->data[0] != r->command || p->data[1] != r->option ||
        (p->data[2] & ueiSPECIFIER_INDEX_MASK) != (r->specifier & ueiSPECIFIER_INDEX_MASK))
        return 0;
    if (p->data[2] & ueiSPECIFIER_ERROR) {
        r->specifier = p->data[2];
        r->v.byteVal = p->dataSize >= 4 ? p->data[3] : static_cast<uint8_t>(aErrUnknown);
        return 1;
    }
    if (p->dataSize < 4 || aUEI_getBytesSequence(p) != (r->sequence & ueiBYTES_SEQUENCE_MASK))
        return 0; // not this transfer's next packet: left where it is
    const size_t n = p->dataSize - 4u;
    if (n > r->bufferLength) {
        r->specifier |= ueiSPECIFIER_ERROR;
        r->v.byteVal = aErrMemory;
        return 1;
    }
    memcpy(r->v.bytes, &p->data[3], n);
    r->v.bytes += n;
    r->bufferLength -= n;
    *r->receivedLength += n;
    r->more = aUEI_getBytesContinue(p) ? 1 : 0;
    r->sequence = static_cast<uint8_t>(r->sequence + 1);
    return 1;
}

uint32_t sReplyValue(const uei& r) {
    switch (r.type) {
    case ueiTypeByte:
        return r.v.byteVal;
    case ueiTypeShort:
        return r.v.shortVal;
    case ueiTypeInt:
        return r.v.intVal;
    default:
        return 0;
    }
}

// A value reply no wider than `width`; aErrSize otherwise.
aErr sTakeValue(const uei& reply, ueiType width, uint32_t* value) {
    if (reply.specifier & ueiSPECIFIER_ERROR)
        return static_cast<aErr>(reply.v.byteVal);
    if (reply.type == ueiTypeVoid || reply.type == ueiTypeBytes || reply.type > width)
        return aErrSize;
    *value = sReplyValue(reply);
    return aErrNone;
}

} // namespace

struct EntityClass::impl {
    EntityClass* owner = nullptr;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

EntityClass::EntityClass() : mImpl(new (std::nothrow) impl) {
    if (mImpl != nullptr)
        mImpl->owner = this;
}

EntityClass::~EntityClass() { delete mImpl; }

aErr EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    if (mImpl == nullptr)
        return aErrMemory;
    if (index > kMaxIndex)
        return aErrParam;
    mImpl->module = module;
    mImpl->command = command;
    mImpl->index = index;
    return aErrNone;
}

uint8_t EntityClass::getIndex() const { return mImpl ? mImpl->index : 0; }

Link* EntityClass::link() const { return mImpl && mImpl->module ? mImpl->module->getLink() : nullptr; }

// ---- Values --------------------------------------------------------------------------------

aErr EntityClass::awaitReply(uint8_t option, uei* reply) {
    *reply = uei{};
    return link()->receiveUEI(mImpl->module->getModuleAddress(), mImpl->command, option, mImpl->index, reply);
}

aErr EntityClass::getValue(uint8_t option, bool withSubindex, uint8_t subindex, ueiType width, uint32_t* value) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    if (option > ueiOPTION_MASK)
        return aErrParam;
    const uint8_t module = mImpl->module->getModuleAddress();
    uint32_t cached = 0;
    aErr e = l->getStreamValue(module, mImpl->command, option, mImpl->index, withSubindex ? subindex : 0, &cached);
    if (e == aErrNone || e == aErrStreamStale) {
        *value = cached;
        return e;
    }
    uei request{};
    request.module = module;
    request.command = mImpl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    request.specifier = static_cast<uint8_t>(mImpl->index | ueiSPECIFIER_REQUEST);
    request.type = withSubindex ? ueiTypeByte : ueiTypeVoid;
    request.v.byteVal = subindex;
    e = l->sendUEI(request);
    if (e != aErrNone)
        return e;
    uei reply;
    e = awaitReply(option, &reply);
    return e != aErrNone ? e : sTakeValue(reply, width, value);
}

template <typename T>
aErr EntityClass::getNarrow(uint8_t option, bool withSubindex, uint8_t subindex, T* value) {
    if (value == nullptr)
        return aErrParam;
    *value = 0;
    const ueiType width = sizeof(T) == 1 ? ueiTypeByte : sizeof(T) == 2 ? ueiTypeShort : ueiTypeInt;
    uint32_t v = 0;
    aErr e = getValue(option, withSubindex, subindex, width, &v);
    if (e == aErrNone || e == aErrStreamStale)
        *value = static_cast<T>(v);
    return e;
}

aErr EntityClass::setValue(uint8_t option, bool withSubindex, uint8_t subindex, ueiType width, uint32_t value) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    if (option > ueiOPTION_MASK)
        return aErrParam;
    uei request{};
    request.module = mImpl->module->getModuleAddress();
    request.command = mImpl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_SET);
    request.specifier = static_cast<uint8_t>(mImpl->index | ueiSPECIFIER_REQUEST);
    request.type = width;
    switch (width) {
    case ueiTypeByte:
        request.v.byteVal = static_cast<uint8_t>(value);
        break;
    case ueiTypeShort:
        request.v.shortVal = static_cast<uint16_t>(value);
        break;
    default:
        request.v.intVal = value;
        break;
    }
    aErr e = withSubindex ? l->sendUEI(request, subindex) : l->sendUEI(request);
    return e != aErrNone ? e : awaitSetReply(option);
}

aErr EntityClass::awaitSetReply(uint8_t option) {
    uei reply;
    aErr e = awaitReply(static_cast<uint8_t>(option | ueiOPTION_SET_REPLY), &reply);
    if (e != aErrNone)
        return e;
    return (reply.specifier & ueiSPECIFIER_ERROR) ? static_cast<aErr>(reply.v.byteVal) : aErrNone;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) { return getNarrow(option, false, 0, value); }
aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) { return getNarrow(option, false, 0, value); }
aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) { return getNarrow(option, false, 0, value); }

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
    return getNarrow(option, true, subindex, value);
}
aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
    return getNarrow(option, true, subindex, value);
}
aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
    return getNarrow(option, true, subindex, value);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) { return setValue(option, false, 0, ueiTypeByte, value); }
aErr EntityClass::setUEI16(uint8_t option, uint16_t value) { return setValue(option, false, 0, ueiTypeShort, value); }
aErr EntityClass::setUEI32(uint8_t option, uint32_t value) { return setValue(option, false, 0, ueiTypeInt, value); }

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    return setValue(option, true, subindex, ueiTypeByte, value);
}
aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    return setValue(option, true, subindex, ueiTypeShort, value);
}
aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    return setValue(option, true, subindex, ueiTypeInt, value);
}

aErr EntityClass::callUEI(uint8_t option) { return setValue(option, false, 0, ueiTypeVoid, 0); }

// ---- Byte strings --------------------------------------------------------------------------

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    if (option > ueiOPTION_MASK || (length > 0 && data == nullptr))
        return aErrParam;
    uei request{};
    request.module = mImpl->module->getModuleAddress();
    request.command = mImpl->command;
    request.option = option;
    request.specifier = mImpl->index;
    request.type = ueiTypeBytes;
    request.v.bytes = const_cast<uint8_t*>(data); // only read while sending
    request.bufferLength = length;
    aErr e = l->sendUEI(request);
    return e != aErrNone ? e : awaitSetReply(option);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received) {
    if (received != nullptr)
        *received = 0;
    if (buffer == nullptr || received == nullptr || capacity == 0)
        return aErrParam;
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    if (option > ueiOPTION_MASK)
        return aErrParam;
    const uint8_t module = mImpl->module->getModuleAddress();
    // Packets left over from an earlier transfer of this option (cut short by a time-out or a
    // full buffer) would otherwise be taken for this transfer's.
    (void)l->dropMatchingUEIPackets(module, mImpl->command, option, mImpl->index);
    uei request{};
    request.module = module;
    request.command = mImpl->command;
    request.option = static_cast<uint8_t>(option | ueiOPTION_GET);
    request.specifier = static_cast<uint8_t>(mImpl->index | ueiSPECIFIER_REQUEST);
    request.type = ueiTypeVoid;
    aErr e = l->sendUEI(request);
    if (e != aErrNone)
        return e;
    uei transfer{};
    transfer.v.bytes = buffer;
    transfer.bufferLength = capacity;
    transfer.receivedLength = received;
    transfer.type = ueiTypeBytes;
    do {
        e = l->receiveUEI(module, mImpl->command, option, mImpl->index, &transfer, sBytesFilter);
        if (e != aErrNone)
            return e;
        if (transfer.specifier & ueiSPECIFIER_ERROR)
            return static_cast<aErr>(transfer.v.byteVal);
    } while (transfer.more);
    return aErrNone;
}

// ---- Other exchanges -----------------------------------------------------------------------

aErr EntityClass::awaitUEI32Val(uint8_t option, uint32_t* value) {
    if (value == nullptr)
        return aErrParam;
    *value = 0;
    if (link() == nullptr)
        return aErrResource;
    uei reply;
    aErr e = awaitReply(option, &reply);
    if (e != aErrNone)
        return e;
    uint32_t v = 0;
    e = sTakeValue(reply, ueiTypeInt, &v);
    if (e == aErrNone)
        *value = v;
    return e;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    return l->dropMatchingUEIPackets(mImpl->module->getModuleAddress(), mImpl->command, option, mImpl->index);
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    return l->sendPacket(mImpl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    return l->receivePacket(mImpl->module->getModuleAddress(), match, length, buffer);
}

aErr EntityClass::setStreamEnabled(bool enable) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    return l->enableStream(mImpl->module->getModuleAddress(), mImpl->command, kAny, mImpl->index, enable);
}

aErr EntityClass::registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* reference) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    return l->registerStreamCallback(mImpl->module->getModuleAddress(), mImpl->command, option, mImpl->index, enable,
                                     callback, reference);
}

aErr EntityClass::getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count) {
    Link* l = link();
    if (l == nullptr)
        return aErrResource;
    return l->getStreamStatus(mImpl->module->getModuleAddress(), mImpl->command, kAny, mImpl->index, kAny, entries,
                              capacity, count);
}

} // namespace Korvel
} // namespace Olvarin
