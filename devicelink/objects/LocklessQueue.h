// A fixed ring for exactly one producer thread and one consumer thread, without locks.
//
// It holds at most capacity - 1 items: one slot is always free, so that a full ring and an
// empty one differ. The slots are made once, at construction; push copies an item into a slot.
// The producer writes the slot before it publishes the write index; the consumer reads a slot
// only after it has seen that index, and the producer does not reuse the slot the read index
// names.
#ifndef KORVEL_LOCKLESSQUEUE_H
#define KORVEL_LOCKLESSQUEUE_H

#include <atomic>
#include <cstdint>
#include <new>

namespace Olvarin {

template <typename T>
class LocklessQueue_SPSC {
public:
    // A capacity below 2 holds nothing; valid() is false when the slots could not be made.
    explicit LocklessQueue_SPSC(uint16_t capacity)
        : mSlots(new (std::nothrow) T[capacity < 2 ? 1 : capacity]()), mCapacity(mSlots && capacity >= 2 ? capacity : 1) {}
    ~LocklessQueue_SPSC() { delete[] mSlots; }
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    bool valid() const { return mSlots != nullptr; }
    uint16_t capacity() const { return mCapacity; }

    // Producer only. False when full: the item is not stored.
    bool push(const T& item) {
        if (!mSlots)
            return false;
        const uint16_t write = mWriteIndex.load(std::memory_order_relaxed);
        const uint16_t next = sNext(write, mCapacity);
        if (next == mReadIndex.load(std::memory_order_acquire))
            return false;
        mSlots[next] = item;
        mWriteIndex.store(next, std::memory_order_release);
        return true;
    }

    // Consumer only. False when empty.
    bool pop(T* item) {
        if (!mSlots || item == nullptr)
            return false;
        const uint16_t read = mReadIndex.load(std::memory_order_relaxed);
        if (read == mWriteIndex.load(std::memory_order_acquire))
            return false;
        const uint16_t next = sNext(read, mCapacity);
        *item = mSlots[next];
        mReadIndex.store(next, std::memory_order_release);
        return true;
    }

private:
    static uint16_t sNext(uint16_t index, uint16_t capacity) {
        const uint16_t next = static_cast<uint16_t>(index + 1);
        return next >= capacity ? 0 : next;
    }

    T* mSlots;
    const uint16_t mCapacity;
    std::atomic<uint16_t> mWriteIndex{0};
    std::atomic<uint16_t> mReadIndex{0};
};

} // namespace Olvarin

#endif
