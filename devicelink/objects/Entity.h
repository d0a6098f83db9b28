// EntityClass: one function block of a module, addressed by a command code (its entity class)
// and an index (0-31). Its settings and measurements are UEI options that are read (get),
// written (set) or triggered (call); the request and reply exchange is the same for every
// entity class, which derive from this one (SystemClass, I2CClass, the upgrade entity).
//
// Every request waits up to 1000 ms for its reply and is not retried.
//   aErrResource  no module, or a module without a link object
//   aErrParam     a null destination
//   aErrTimeout   no reply; a late reply stays queued until a matching request or drainUEI
//                 takes it
//   the module's code, for an error reply
// A get is answered from the link's value cache when the option streams (aErrNone for a fresh
// value, aErrStreamStale for one returned before; the value is given in both cases). A reply
// wider than the value asked for gives aErrSize; narrower values are zero-extended.
//
// Threads: entities hold no locks. Requests to different entities may run at once; two
// requests to one option of one entity at the same time can take each other's replies.
#ifndef KORVEL_ENTITY_H
#define KORVEL_ENTITY_H

#include "Link.h"
#include "Module.h"

namespace Olvarin {
namespace Korvel {

class EntityClass {
public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity. aErrParam for an index above 31; aErrMemory when the entity has no
    // state record (memory ran out at construction).
    aErr init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);

    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    // A set without a value: a command to the entity.
    aErr callUEI(uint8_t option);

    // A byte string in packets of 24 bytes; one reply after the last. aErrParam for null
    // data with a non-zero length.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // Reads a byte string into `buffer`; *received counts the bytes stored, also when the
    // transfer ends early. aErrParam: null buffer or received, or capacity 0. aErrMemory: the
    // string does not fit (what fitted before the packet that did not is kept).
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);

    // Waits for a reply of this entity's option without sending a request.
    aErr awaitUEI32Val(uint8_t option, uint32_t* value);
    // Drops every queued reply that matches this entity and the option byte.
    aErr drainUEI(uint8_t option);

    // A raw packet to the module: the command byte and `length` data bytes (at most 27).
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    // The first packet whose first *length data bytes equal `match`; on return *length is its
    // length and `buffer` (28 bytes) holds its data bytes.
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* buffer);

    // Streams of this entity: all its options, or one option with a callback.
    aErr setStreamEnabled(bool enable);
    aErr registerOptionCallback(uint8_t option, bool enable, Link::streamCallback callback, void* reference);
    aErr getStreamStatus(Link::StreamStatusEntry* entries, size_t capacity, size_t* count);

    struct impl;

protected:
    impl* mImpl;

private:
    aErr getValue(uint8_t option, bool withSubindex, uint8_t subindex, ueiType width, uint32_t* value);
    template <typename T>
    aErr getNarrow(uint8_t option, bool withSubindex, uint8_t subindex, T* value);
    aErr setValue(uint8_t option, bool withSubindex, uint8_t subindex, ueiType width, uint32_t value);
    aErr awaitReply(uint8_t option, uei* reply);
    // The reply to a set of the option: aErrNone, or the module's code.
    aErr awaitSetReply(uint8_t option);
    Link* link() const;
};

} // namespace Korvel
} // namespace Olvarin

#endif
