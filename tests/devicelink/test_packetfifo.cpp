#include "packetfifo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <thread>
#include <vector>

namespace {

// Made during static initialisation, before any test: the process's first FIFO.
const aPacketFifoID gFirstFifo = aPacketFifo_Create();

// A packet from address 2 whose data bytes are the given values.
aPacket* makePacket(std::initializer_list<uint8_t> bytes) {
    std::vector<uint8_t> data(bytes);
    return aPacket_CreateWithData(2, data.size(), data.data());
}

void putAndRelease(aPacketFifoID fifo, std::initializer_list<uint8_t> bytes) {
    aPacket* packet = makePacket(bytes);
    ASSERT_EQ(aPacketFifo_Put(fifo, packet), aErrNone);
    ASSERT_EQ(aPacket_Destroy(&packet), aErrNone);
}

// First data byte of each queued packet, oldest first, taken out of the FIFO.
std::vector<int> takeAll(aPacketFifoID fifo) {
    std::vector<int> firsts;
    while (aPacket* packet = aPacketFifo_Get(fifo)) {
        firsts.push_back(packet->data[0]);
        (void)aPacket_Destroy(&packet);
    }
    return firsts;
}

// Counts its calls and remembers which packets (by data byte 0) it saw; selects `wanted`.
struct Counting {
    std::atomic<int> calls{0};
    std::vector<int> seen; // written under the FIFO lock only
    int wanted = -1;
};
uint8_t countingFilter(const aPacket* packet, void* ref) {
    auto* c = static_cast<Counting*>(ref);
    c->calls++;
    c->seen.push_back(packet->data[0]);
    return packet->data[0] == c->wanted;
}

uint8_t selectEven(const aPacket* packet, void*) { return packet->data[0] % 2 == 0; }
uint8_t selectAll(const aPacket*, void*) { return 1; }

struct Fifo {
    aPacketFifoID id = aPacketFifo_Create();
    ~Fifo() {
        if (id)
            (void)aPacketFifo_Destroy(&id);
    }
};

void waitFor(const std::function<bool()>& condition) {
    for (int i = 0; i < 5000 && !condition(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

} // namespace

TEST(PacketFifo, IdentifiersStartAtOneAndAreNeverReused) {
    EXPECT_EQ(gFirstFifo, 1u);
    aPacketFifoID a = aPacketFifo_Create();
    aPacketFifoID b = aPacketFifo_Create();
    EXPECT_GT(a, gFirstFifo);
    EXPECT_GT(b, a);
    aPacketFifoID old = a;
    ASSERT_EQ(aPacketFifo_Destroy(&a), aErrNone);
    EXPECT_EQ(a, 0u);
    aPacketFifoID c = aPacketFifo_Create();
    EXPECT_GT(c, b);
    // The stale identifier reaches nothing.
    aPacket* packet = makePacket({1});
    EXPECT_EQ(aPacketFifo_Put(old, packet), aErrParam);
    EXPECT_EQ(aPacketFifo_Get(old), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(old), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(old, selectAll, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&old), aErrNotFound);
    EXPECT_NE(old, 0u);
    (void)aPacket_Destroy(&packet);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
    aPacketFifoID none = 0;
    EXPECT_EQ(aPacketFifo_Destroy(&none), aErrNotFound);
    (void)aPacketFifo_Destroy(&b);
    (void)aPacketFifo_Destroy(&c);
}

TEST(PacketFifo, PutCopiesAndGetHandsOutOwnCopiesInOrder) {
    Fifo f;
    aPacket* packet = makePacket({10, 11});
    ASSERT_EQ(aPacketFifo_Put(f.id, packet), aErrNone);
    packet->data[0] = 20; // the queued copy must not change
    ASSERT_EQ(aPacketFifo_Put(f.id, packet), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 2u);

    aPacket* first = aPacketFifo_Get(f.id);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, packet);
    EXPECT_EQ(first->address, 2);
    EXPECT_EQ(first->dataSize, 2);
    EXPECT_EQ(first->data[0], 10);
    EXPECT_EQ(first->data[1], 11);
    EXPECT_EQ(takeAll(f.id), std::vector<int>{20});
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
    (void)aPacket_Destroy(&first);
    (void)aPacket_Destroy(&packet);
}

TEST(PacketFifo, PutRejectsBadPackets) {
    Fifo f;
    EXPECT_EQ(aPacketFifo_Put(f.id, nullptr), aErrParam);
    aPacket forged{};
    forged.check = 0xBEEE;
    EXPECT_EQ(aPacketFifo_Put(f.id, &forged), aErrParam);
    forged.check = aPACKET_CHECK;
    EXPECT_EQ(aPacketFifo_Put(0, &forged), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

TEST(PacketFifo, OverflowDiscardsTheWholeBacklogAndCarriesOn) {
    Fifo f;
    aPacket* packet = makePacket({7});
    for (size_t i = 0; i < aPACKETFIFO_CAPACITY; ++i)
        ASSERT_EQ(aPacketFifo_Put(f.id, packet), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), aPACKETFIFO_CAPACITY);
    EXPECT_EQ(aPacketFifo_Put(f.id, packet), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
    EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
    // Still usable, and AwaitFirst windows start afresh.
    putAndRelease(f.id, {8});
    Counting c;
    c.wanted = 8;
    aPacket* got = aPacketFifo_AwaitFirst(f.id, countingFilter, &c, 0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(c.calls, 1);
    (void)aPacket_Destroy(&got);
    (void)aPacket_Destroy(&packet);
}

TEST(PacketFifo, AwaitWithZeroTimeoutDoesNotWait) {
    Fifo f;
    EXPECT_EQ(aPacketFifo_Await(f.id, 0), nullptr);
    putAndRelease(f.id, {5});
    aPacket* got = aPacketFifo_Await(f.id, 0);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 5);
    (void)aPacket_Destroy(&got);
    EXPECT_EQ(aPacketFifo_Await(0, 0), nullptr);
}

TEST(PacketFifo, AwaitReturnsWhenAPacketArrivesAndTimesOutOtherwise) {
    Fifo f;
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        putAndRelease(f.id, {9});
    });
    aPacket* got = aPacketFifo_Await(f.id, 10000);
    producer.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 9);
    (void)aPacket_Destroy(&got);
    EXPECT_EQ(aPacketFifo_Await(f.id, 20), nullptr);
    Counting c;
    EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, countingFilter, &c, 20), nullptr);
}

// The filter sees each packet once per call: the three queued at the call before the first
// wait, then each new one exactly once, though every Put wakes the waiter and other consumers
// take packets out meanwhile.
TEST(PacketFifo, AwaitFirstShowsEachPacketToTheFilterOnce) {
    Fifo f;
    for (uint8_t v : {1, 3, 5})
        putAndRelease(f.id, {v});
    Counting c;
    c.wanted = 42;
    aPacket* got = nullptr;
    std::thread waiter([&] { got = aPacketFifo_AwaitFirst(f.id, countingFilter, &c, 20000); });
    waitFor([&] { return c.calls.load() == 3; });
    EXPECT_EQ(c.calls.load(), 3);

    putAndRelease(f.id, {7});
    waitFor([&] { return c.calls.load() == 4; });
    // Another consumer takes the oldest packet; the waiter must not re-examine the rest.
    aPacket* stolen = aPacketFifo_Get(f.id);
    ASSERT_NE(stolen, nullptr);
    EXPECT_EQ(stolen->data[0], 1);
    (void)aPacket_Destroy(&stolen);
    putAndRelease(f.id, {9});
    waitFor([&] { return c.calls.load() == 5; });
    putAndRelease(f.id, {42});
    putAndRelease(f.id, {11});
    waiter.join();

    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 42);
    (void)aPacket_Destroy(&got);
    EXPECT_EQ(c.seen, (std::vector<int>{1, 3, 5, 7, 9, 42}));
    EXPECT_EQ(takeAll(f.id), (std::vector<int>{3, 5, 7, 9, 11}));
}

TEST(PacketFifo, GetFirstAndDrainKeepTheRestInOrder) {
    Fifo f;
    for (uint8_t v : {1, 2, 3, 4, 5, 6})
        putAndRelease(f.id, {v});
    aPacket* got = aPacketFifo_GetFirst(f.id, selectEven, nullptr);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->data[0], 2);
    (void)aPacket_Destroy(&got);
    EXPECT_EQ(aPacketFifo_GetFirst(f.id, nullptr, nullptr), nullptr);

    Counting c;
    c.wanted = 3;
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, countingFilter, &c), 1u);
    EXPECT_EQ(c.seen, (std::vector<int>{1, 3, 4, 5, 6}));
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, selectEven, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, nullptr, nullptr), 0u);
    EXPECT_EQ(takeAll(f.id), (std::vector<int>{1, 5}));

    for (uint8_t v : {1, 3})
        putAndRelease(f.id, {v});
    EXPECT_EQ(aPacketFifo_GetFirst(f.id, selectEven, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(f.id, selectAll, nullptr), 2u);
    EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

TEST(PacketFifo, DestroyWakesEveryWaiter) {
    aPacketFifoID id = aPacketFifo_Create();
    putAndRelease(id, {1});
    std::atomic<int> returned{0};
    std::vector<std::thread> waiters;
    std::vector<aPacket*> results(4, reinterpret_cast<aPacket*>(1));
    Counting c;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&, i] {
            results[i] = aPacketFifo_AwaitFirst(id, countingFilter, &c, 30000);
            returned++;
        });
    // Plain Await returns the one queued packet at once; the second waits.
    aPacket* first = aPacketFifo_Await(id, 0);
    ASSERT_NE(first, nullptr);
    (void)aPacket_Destroy(&first);
    for (int i = 2; i < 4; ++i)
        waiters.emplace_back([&, i] {
            results[i] = aPacketFifo_Await(id, 30000);
            returned++;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(returned.load(), 0);
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    for (auto& t : waiters)
        t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    for (aPacket* r : results)
        EXPECT_EQ(r, nullptr);
}

// Several producers and consumers on one FIFO (run under ThreadSanitizer too): every packet is
// taken exactly once, and each consumer sees each producer's packets in the order they were put.
TEST(PacketFifo, ProducersAndConsumersLoseAndDuplicateNothing) {
    Fifo f;
    constexpr int kProducers = 4, kPerProducer = 1500, kConsumers = 4;
    std::atomic<int> producing{kProducers};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([&, p] {
            for (int n = 0; n < kPerProducer; ++n) {
                // Stay well below capacity so that the overflow rule never drops anything.
                while (aPacketFifo_GetLength(f.id) > aPACKETFIFO_CAPACITY / 2)
                    std::this_thread::yield();
                uint8_t data[3] = {uint8_t(p), uint8_t(n >> 8), uint8_t(n)};
                aPacket* packet = aPacket_CreateWithData(2, 3, data);
                EXPECT_EQ(aPacketFifo_Put(f.id, packet), aErrNone);
                (void)aPacket_Destroy(&packet);
            }
            producing--;
        });
    std::vector<std::vector<std::vector<int>>> taken(kConsumers,
                                                     std::vector<std::vector<int>>(kProducers));
    for (int c = 0; c < kConsumers; ++c)
        threads.emplace_back([&, c] {
            // Half take anything, half take only even producers' packets.
            for (;;) {
                aPacket* packet = c % 2 ? aPacketFifo_Await(f.id, 20)
                                        : aPacketFifo_AwaitFirst(f.id, selectEven, nullptr, 20);
                if (!packet) {
                    if (producing.load() == 0 && aPacketFifo_GetLength(f.id) == 0)
                        return;
                    continue;
                }
                taken[c][packet->data[0]].push_back(packet->data[1] << 8 | packet->data[2]);
                (void)aPacket_Destroy(&packet);
            }
        });
    for (auto& t : threads)
        t.join();
    for (int p = 0; p < kProducers; ++p) {
        std::vector<int> all;
        for (int c = 0; c < kConsumers; ++c) {
            const auto& seq = taken[c][p];
            EXPECT_TRUE(std::is_sorted(seq.begin(), seq.end())) << "consumer " << c;
            all.insert(all.end(), seq.begin(), seq.end());
        }
        std::sort(all.begin(), all.end());
        ASSERT_EQ(all.size(), size_t(kPerProducer)) << "producer " << p;
        for (int n = 0; n < kPerProducer; ++n)
            ASSERT_EQ(all[n], n);
    }
}

// Operations racing a Destroy either complete on the live FIFO or fail cleanly.
TEST(PacketFifo, OperationsRacingDestroyEndCleanly) {
    for (int round = 0; round < 20; ++round) {
        aPacketFifoID id = aPacketFifo_Create();
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&, t] {
                aPacket* packet = makePacket({uint8_t(t)});
                while (!stop.load()) {
                    (void)aPacketFifo_Put(id, packet);
                    aPacket* got = t % 2 ? aPacketFifo_Await(id, 1)
                                         : aPacketFifo_AwaitFirst(id, selectEven, nullptr, 1);
                    if (got)
                        (void)aPacket_Destroy(&got);
                    (void)aPacketFifo_DrainPackets(id, selectEven, nullptr);
                }
                (void)aPacket_Destroy(&packet);
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        aPacketFifoID victim = id;
        EXPECT_EQ(aPacketFifo_Destroy(&victim), aErrNone);
        stop = true;
        for (auto& t : threads)
            t.join();
        EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    }
}
