#include "packetfifo.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { (void)aPacket_Destroy(&packet); }
};
typedef std::unique_ptr<aPacket, aPacketDeleter> OwnedPacket;

// One queued entry. Ids grow by one per insertion, so the queue is always sorted by id; that is
// what lets AwaitFirst remember "seen up to here" across wake-ups while other threads take
// entries out of the middle.
class SerialPacket {
public:
    SerialPacket(int64_t id, OwnedPacket packet) : mId(id), mPacket(std::move(packet)) {}
    int64_t getId() const { return mId; }
    const aPacket* getPacket() const { return mPacket.get(); }
    aPacket* release() { return mPacket.release(); }

private:
    int64_t mId;
    OwnedPacket mPacket;
};

struct packetFifo {
    std::deque<SerialPacket> packets; // oldest first
    std::condition_variable notEmpty;
    std::mutex lock;                  // guards everything below and `packets`
    bool valid = true;                // false once destroyed
    int64_t nextId = 0;               // id of the next insertion

    // Id of the oldest entry, or the next id when empty.
    int64_t windowStart() const { return packets.empty() ? nextId : packets.front().getId(); }

    // First entry whose id is above `id`.
    std::deque<SerialPacket>::iterator firstAfter(int64_t id) {
        return std::partition_point(packets.begin(), packets.end(),
                                    [id](const SerialPacket& p) { return p.getId() <= id; });
    }

    // Hands the entry's packet to the caller and erases the entry.
    aPacket* steal(std::deque<SerialPacket>::iterator position) {
        aPacket* packet = position->release();
        packets.erase(position);
        return packet;
    }
};
typedef std::shared_ptr<packetFifo> FifoRef;

// The process-wide dictionary. Built on first use, so a FIFO made during static initialisation
// elsewhere still finds it; never destroyed, so a FIFO released at exit does not outlive it.
struct Dictionary {
    std::mutex mutex;                          // held only to look up, insert or erase
    std::map<aPacketFifoID, FifoRef> fifos;
    aPacketFifoID sequentialId = 1;            // next identifier to give out
};

Dictionary& sDictionary() {
    static Dictionary* dictionary = new Dictionary;
    return *dictionary;
}

FifoRef sLookup(aPacketFifoID identifier) {
    if (identifier == 0)
        return nullptr;
    Dictionary& d = sDictionary();
    std::lock_guard<std::mutex> guard(d.mutex);
    auto it = d.fifos.find(identifier);
    return it == d.fifos.end() ? nullptr : it->second;
}

std::chrono::steady_clock::time_point sDeadline(uint32_t timeoutMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

} // namespace

aPacketFifoID aPacketFifo_Create() {
    try {
        auto fifo = std::make_shared<packetFifo>();
        Dictionary& d = sDictionary();
        std::lock_guard<std::mutex> guard(d.mutex);
        aPacketFifoID id = d.sequentialId++;
        if (id == 0)
            id = d.sequentialId++;
        d.fifos.emplace(id, std::move(fifo));
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoID* identifier) {
    if (identifier == nullptr)
        return aErrParam;
    try {
        FifoRef fifo;
        {
            Dictionary& d = sDictionary();
            std::lock_guard<std::mutex> guard(d.mutex);
            auto it = d.fifos.find(*identifier);
            if (*identifier == 0 || it == d.fifos.end())
                return aErrNotFound;
            fifo = std::move(it->second);
            d.fifos.erase(it);
        }
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            fifo->packets.clear();
            fifo->valid = false;
        }
        fifo->notEmpty.notify_all();
        *identifier = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoID identifier) {
    try {
        FifoRef fifo = sLookup(identifier);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> guard(fifo->lock);
        return fifo->packets.size();
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Put(aPacketFifoID identifier, const aPacket* packet) {
    try {
        FifoRef fifo = sLookup(identifier);
        if (!fifo || !aVALIDPACKET(packet))
            return aErrParam;
        OwnedPacket copy(aPacket_Copy(packet));
        if (!copy)
            return aErrParam;
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            if (!fifo->valid)
                return aErrParam;
            try {
                fifo->packets.emplace_back(fifo->nextId, std::move(copy));
            } catch (...) {
                return aErrResource;
            }
            ++fifo->nextId;
            if (fifo->packets.size() > aPACKETFIFO_CAPACITY) {
                fifo->packets.clear();
                return aErrNone;
            }
        }
        fifo->notEmpty.notify_all();
        return aErrNone;
    } catch (...) {
        return aErrResource;
    }
}

aPacket* aPacketFifo_Get(aPacketFifoID identifier) {
    return aPacketFifo_Await(identifier, 0);
}

aPacket* aPacketFifo_Await(aPacketFifoID identifier, uint32_t timeoutMs) {
    try {
        FifoRef fifo = sLookup(identifier);
        if (!fifo)
            return nullptr;
        auto deadline = sDeadline(timeoutMs);
        std::unique_lock<std::mutex> lock(fifo->lock);
        fifo->notEmpty.wait_until(lock, deadline,
                                  [&] { return !fifo->packets.empty() || !fifo->valid; });
        if (fifo->packets.empty())
            return nullptr;
        return fifo->steal(fifo->packets.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoID identifier, aPacketFilter filter, void* ref) {
    if (filter == nullptr)
        return nullptr;
    try {
        FifoRef fifo = sLookup(identifier);
        if (!fifo)
            return nullptr;
        std::lock_guard<std::mutex> guard(fifo->lock);
        for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it)
            if (filter(it->getPacket(), ref))
                return fifo->steal(it);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoID identifier, aPacketFilter filter, void* ref,
                                uint32_t timeoutMs) {
    if (filter == nullptr)
        return nullptr;
    try {
        FifoRef fifo = sLookup(identifier);
        if (!fifo)
            return nullptr;
        auto deadline = sDeadline(timeoutMs);
        std::unique_lock<std::mutex> lock(fifo->lock);
        // Everything queued now is examined; after that only what arrives. Entries at or below
        // lastSeen were already rejected in this call and are never shown to the filter again.
        int64_t lastSeen = fifo->windowStart() - 1;
        // Valid only while `found` is set: the lock is held from the selection to the steal,
        // whereas any insertion between two evaluations invalidates deque iterators.
        bool found = false;
        std::deque<SerialPacket>::iterator selected;
        auto examineNew = [&] {
            for (auto it = fifo->firstAfter(lastSeen); it != fifo->packets.end(); ++it) {
                lastSeen = it->getId();
                if (filter(it->getPacket(), ref)) {
                    selected = it;
                    found = true;
                    return true;
                }
            }
            return !fifo->valid;
        };
        fifo->notEmpty.wait_until(lock, deadline, examineNew);
        if (!found)
            return nullptr;
        return fifo->steal(selected);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(aPacketFifoID identifier, aPacketFilter filter, void* ref) {
    if (filter == nullptr)
        return 0;
    try {
        FifoRef fifo = sLookup(identifier);
        if (!fifo)
            return 0;
        std::lock_guard<std::mutex> guard(fifo->lock);
        size_t before = fifo->packets.size();
        // In order, each entry once; the kept ones slide forward over the removed ones.
        auto out = fifo->packets.begin();
        for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
            if (filter(it->getPacket(), ref))
                continue;
            if (out != it)
                *out = std::move(*it);
            ++out;
        }
        fifo->packets.erase(out, fifo->packets.end());
        return before - fifo->packets.size();
    } catch (...) {
        return 0;
    }
}
