// Streams: keys and sample decoding, the callback queue, and subscriptions end to end against the
// virtual module over TCP/IP: samples reach the value cache and the callbacks on the callback
// thread, never the inbound FIFO, until the last subscription goes.
#include "Entity.h"
#include "LocklessQueue.h"
#include "Module.h"
#include "VirtualNetwork.h"

#include <atomic>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <set>

using namespace Olvarin::Korvel;

namespace {

typedef std::vector<uint8_t> Bytes;
constexpr uint64_t kStamp = 0x0102030405060708ull;

aPacket* packetOf(uint8_t address, const Bytes& data) {
    return aPacket_CreateWithData(address, data.size(), data.data());
}

// A sample: command, option, index | 0x40, type, [subindex], time stamp, value, sequence byte.
Bytes sample(uint8_t command, uint8_t option, uint8_t index, uint8_t type, uint32_t value, int width,
             int subindex = -1, uint8_t sequence = 0) {
    Bytes b{command, option, static_cast<uint8_t>(index | 0x40), type};
    if (subindex >= 0)
        b.push_back(static_cast<uint8_t>(subindex));
    for (int s = 56; s >= 0; s -= 8)
        b.push_back(static_cast<uint8_t>(kStamp >> s));
    for (int i = width - 1; i >= 0; --i)
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    b.push_back(sequence);
    return b;
}

TEST(StreamKeys, ElementsAndWildcards) {
    const uint64_t key = Link::createStreamKey(4, 3, 5, 1, 0xFF);
    EXPECT_EQ(key, 0xFF04030501ull);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::streamKeyModule), 4);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::streamKeyCommand), 3);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::streamKeyOption), 5);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::streamKeyIndex), 1);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::streamKeySubindex), 0xFF);
    EXPECT_EQ(Link::getStreamKeyElement(key, 5), 0);
    uint32_t high = 0, low = 0;
    Link::getTimestampParts(kStamp, &high, &low);
    EXPECT_EQ(high, 0x01020304u);
    EXPECT_EQ(low, 0x05060708u);
}

TEST(StreamSamples, TypesLengthsAndDecoding) {
    struct Case {
        Bytes data;
        bool sample;
        aErr result;
        uint32_t value;
        uint8_t subindex;
    };
    const Case cases[] = {
        {sample(3, 5, 1, 1, 0xAB, 1), true, aErrNone, 0xAB, 0},
        {sample(3, 5, 1, 2, 0xABCD, 2), true, aErrNone, 0xABCD, 0},
        {sample(3, 5, 1, 3, 500, 4), true, aErrNone, 500, 0},
        {sample(3, 5, 1, 5, 0x12, 1, 7), true, aErrNone, 0x12, 7},
        {sample(3, 5, 1, 6, 0x1234, 2, 2), true, aErrNone, 0x1234, 2},
        {sample(3, 5, 1, 7, 0xDEADBEEF, 4, 3), true, aErrNone, 0xDEADBEEF, 3},
        {sample(3, 5, 1, 3, 500, 3), false, aErrPacket, 0, 0},      // a 32-bit sample of 16 bytes
        {sample(3, 5, 1, 1, 0xAB, 1, -1, 0x81), false, aErrSize, 0, 0}, // a byte-string stream
        {sample(3, 5, 1, 0, 1, 4), false, aErrPacket, 0, 0},
        {sample(3, 5, 1, 8, 1, 4), false, aErrPacket, 0, 0},
        {Bytes{3, 0x45, 0x41, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, aErrPacket, 0, 0}, // get bit
        {Bytes{95, 5, 0x41, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, aErrPacket, 0, 0},   // no UEI
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        aPacket* p = packetOf(4, c.data);
        EXPECT_EQ(Link::isStreamSample(p), c.sample);
        uint64_t stamp = 1;
        uint32_t value = 1;
        uint8_t subindex = 9;
        EXPECT_EQ(Link::getStreamSample(p, &stamp, &value, &subindex), c.result);
        EXPECT_EQ(value, c.value);
        EXPECT_EQ(subindex, c.subindex);
        EXPECT_EQ(stamp, c.result == aErrNone ? kStamp : 0);
        (void)aPacket_Destroy(&p);
    }
    aPacket* p = packetOf(4, sample(3, 5, 1, 6, 1, 2, 0));
    Link::STREAM_PACKET type = Link::streamPacketNone;
    EXPECT_TRUE(Link::getStreamPacketType(p, &type));
    EXPECT_EQ(type, Link::streamPacketSubindexShort);
    EXPECT_TRUE(Link::isSubindexType(type));
    EXPECT_FALSE(Link::isSubindexType(Link::streamPacketInt));
    EXPECT_EQ(Link::getStreamSample(p, nullptr, nullptr, nullptr), aErrNone) << "outputs may be absent";
    (void)aPacket_Destroy(&p);
}

TEST(CallbackQueue, HoldsOneItemLessThanItsCapacity) {
    Olvarin::LocklessQueue_SPSC<int> queue(500);
    for (int i = 0; i < 499; ++i)
        ASSERT_TRUE(queue.push(i));
    EXPECT_FALSE(queue.push(499));
    int v = -1;
    ASSERT_TRUE(queue.pop(&v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(queue.push(500));
    for (int expect = 1; expect <= 498; ++expect) {
        ASSERT_TRUE(queue.pop(&v));
        ASSERT_EQ(v, expect);
    }
    ASSERT_TRUE(queue.pop(&v));
    EXPECT_EQ(v, 500);
    EXPECT_FALSE(queue.pop(&v));
}

// What the callbacks saw.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Bytes> packets;
    std::set<std::thread::id> threads;
    bool hold = false;       // callbacks wait while set
    bool entered = false;    // a callback was entered
    int delayMs = 0;

    static uint8_t record(const aPacket* p, void* ref) {
        auto* s = static_cast<Seen*>(ref);
        std::unique_lock<std::mutex> guard(s->lock);
        s->entered = true;
        s->changed.notify_all();
        s->changed.wait(guard, [&] { return !s->hold; });
        s->packets.emplace_back(p->data, p->data + p->dataSize);
        s->threads.insert(std::this_thread::get_id());
        int delay = s->delayMs;
        s->changed.notify_all();
        guard.unlock();
        if (delay)
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        return 0;
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(lock);
        return packets.size();
    }
    void release() {
        {
            std::lock_guard<std::mutex> guard(lock);
            hold = false;
        }
        changed.notify_all();
    }
};

class Streams : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(module.setConfig(sharingOff()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(vm.spec()), aErrNone);
        link = module.getLink();
    }
    // A marker packet behind everything sent so far: once it is in, the receive thread has
    // handled what came before it.
    void settle() {
        vm.link.sendPacket(4, {23, 0xEE, marker});
        const uint8_t match[3] = {23, 0xEE, marker++};
        uint8_t length = 3, buffer[28];
        ASSERT_EQ(link->receivePacket(4, match, &length, buffer), aErrNone);
    }
    bool inFifo(const Bytes& prefix) {
        uint8_t length = static_cast<uint8_t>(prefix.size()), buffer[28];
        return link->receivePacket(4, prefix.data(), &length, buffer) == aErrNone;
    }

    VirtualTcpModule vm;
    Module module{4};
    Link* link = nullptr;
    uint8_t marker = 0;
};

TEST_F(Streams, SampleReachesTheValueCacheNeverTheFifo) {
    ASSERT_EQ(link->enableStream(4, 3, 5, 1, true), aErrNone);
    EXPECT_EQ(vm.network.router().subscriptions(), (std::set<uint32_t>{0x030501}));
    const Bytes spec = sample(3, 5, 1, 3, 500, 4);
    ASSERT_EQ(spec.size(), 17u);
    EXPECT_EQ(Bytes(spec.end() - 5, spec.end()), (Bytes{0x00, 0x00, 0x01, 0xF4, 0x00}));
    vm.link.sendPacket(4, spec);
    settle();
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(4, 3, 5, 1, 0, &value), aErrNone);
    EXPECT_EQ(value, 500u);
    EXPECT_EQ(link->getStreamValue(4, 3, 5, 1, 0, &value), aErrStreamStale);
    EXPECT_EQ(value, 500u);

    // A get of the streamed option is answered from the cache: nothing goes to the module.
    EntityClass entity;
    ASSERT_EQ(entity.init(&module, 3, 1), aErrNone);
    vm.network.clearRequests();
    value = 0;
    EXPECT_EQ(entity.getUEI32(5, &value), aErrStreamStale);
    EXPECT_EQ(value, 500u);
    EXPECT_TRUE(vm.network.requests().empty());

    // A 32-bit sample of 16 bytes is taken off the normal path but not decoded.
    vm.link.sendPacket(4, sample(3, 5, 1, 3, 0x999, 3));
    settle();
    EXPECT_EQ(link->getStreamValue(4, 3, 5, 1, 0, &value), aErrStreamStale);
    EXPECT_EQ(value, 500u);
    EXPECT_EQ(link->getStreamValue(4, 3, 5, 1, 0xFF, &value), aErrNotFound) << "a subscription holds no value";
    const uint8_t three = 3;
    uint8_t length = 1, buffer[28];
    EXPECT_EQ(link->receivePacket(4, &three, &length, buffer), aErrTimeout) << "no sample in the inbound FIFO";
}

TEST_F(Streams, WildcardSubscriptionsAndStatus) {
    ASSERT_EQ(link->enableStream(4, 3, 0xFF, 1, true), aErrNone);
    vm.link.sendPacket(4, sample(3, 7, 1, 1, 9, 1));
    vm.link.sendPacket(4, sample(3, 8, 1, 5, 0x77, 1, 2));
    vm.link.sendPacket(4, sample(3, 8, 2, 1, 1, 1)); // another index: no subscription, still taken
    settle();
    Link::StreamStatusEntry entries[4] = {};
    size_t count = 0;
    ASSERT_EQ(link->getStreamStatus(4, 3, 0xFF, 1, 0xFF, entries, 4, &count), aErrNone);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(entries[0].key, Link::createStreamKey(4, 3, 7, 1, 0));
    EXPECT_EQ(entries[0].value, 9u);
    EXPECT_EQ(entries[1].key, Link::createStreamKey(4, 3, 8, 1, 2));
    EXPECT_EQ(entries[1].value, 0x77u);
    EXPECT_EQ(link->getStreamStatus(4, 3, 0xFF, 1, 0xFF, entries, 1, &count), aErrSize);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(link->getStreamStatus(4, 3, 0xFF, 1, 0xFF, nullptr, 4, &count), aErrParam);
    EXPECT_EQ(link->getStreamStatus(4, 3, 0xFF, 1, 0xFF, entries, 0, &count), aErrParam);
    EXPECT_EQ(link->getStreamStatus(4, 3, 7, 2, 0xFF, entries, 4, &count), aErrNone);
    EXPECT_EQ(count, 0u);

    EXPECT_EQ(link->registerStreamCallback(3, 3, 5, 1, true, nullptr, nullptr), aErrParam);
    EXPECT_EQ(link->registerStreamCallback(0xFF, 3, 5, 1, true, nullptr, nullptr), aErrParam);
    ASSERT_EQ(link->getStreamStatus(0xFF, 0xFF, 0xFF, 0xFF, 0xFF, entries, 4, &count), aErrNone);
    EXPECT_EQ(count, 2u) << "the table is unchanged";

    Link idle("idle");
    EXPECT_EQ(idle.enableStream(4, 3, 5, 1, true), aErrConnection);
    EXPECT_EQ(idle.getStreamStatus(4, 3, 5, 1, 0, entries, 4, &count), aErrConnection);
}

TEST_F(Streams, RemovingTheLastSubscriptionRestoresNormalDelivery) {
    uint8_t flag = 9;
    EXPECT_EQ(link->isLinkStreaming(4, &flag), aErrNone);
    EXPECT_EQ(flag, 0);
    ASSERT_EQ(link->enableStream(4, 3, 5, 1, true), aErrNone);
    EXPECT_EQ(link->isLinkStreaming(4, &flag), aErrNone);
    EXPECT_EQ(flag, 1);

    // A reset engine link comes back without user filter: the link object puts it back.
    EXPECT_EQ(link->reset(), aErrNone);
    ASSERT_TRUE(eventually([&] { return link->isConnected(); }));
    vm.link.sendPacket(4, sample(3, 5, 1, 3, 42, 4));
    settle();
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(4, 3, 5, 1, 0, &value), aErrNone);
    EXPECT_EQ(value, 42u);

    ASSERT_EQ(link->enableStream(4, 3, 5, 1, false), aErrNone);
    EXPECT_EQ(link->isLinkStreaming(4, &flag), aErrNone);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(link->getStreamValue(4, 3, 5, 1, 0, &value), aErrNotFound) << "the values went with the filter";
    vm.link.sendPacket(4, sample(3, 5, 1, 3, 43, 4));
    EXPECT_TRUE(inFifo({3, 5, 0x41})) << "samples take the normal path again";

    // A failed subscription leaves nothing behind.
    vm.network.router().failOption(93, 1, aErrBusy);
    EXPECT_EQ(link->enableStream(4, 3, 5, 1, true), aErrBusy);
    vm.link.sendPacket(4, sample(3, 5, 1, 3, 44, 4));
    EXPECT_TRUE(inFifo({3, 5, 0x41}));
}

TEST_F(Streams, StreamedValuesReachCallbacksOnTheCallbackThread) {
    EntityClass analog;
    ASSERT_EQ(analog.init(&module, vmod::kAnalogCommand, 1), aErrNone);
    Seen seen;
    ASSERT_EQ(analog.registerOptionCallback(vmod::analog::Reading, true, Seen::record, &seen), aErrNone);
    vm.network.router().setValue(vmod::kAnalogCommand, 1, vmod::analog::Reading, 123456);
    vm.network.emitSamples();
    ASSERT_TRUE(eventually([&] { return seen.count() == 1; }));
    {
        std::lock_guard<std::mutex> hold(seen.lock);
        aPacket* p = packetOf(4, seen.packets[0]);
        uint64_t stamp = 0;
        uint32_t value = 0;
        EXPECT_EQ(Link::getStreamSample(p, &stamp, &value, nullptr), aErrNone);
        EXPECT_EQ(value, 123456u);
        EXPECT_GT(stamp, 0u) << "time-stamped by the module";
        (void)aPacket_Destroy(&p);
        EXPECT_EQ(seen.threads.count(std::this_thread::get_id()), 0u);
    }
    uint32_t value = 0;
    EXPECT_EQ(analog.getUEI32(vmod::analog::Reading, &value), aErrNone);
    EXPECT_EQ(value, 123456u);

    // All options of the entity: one value per option and channel.
    ASSERT_EQ(analog.setStreamEnabled(true), aErrNone);
    vm.network.emitSamples();
    settle();
    Link::StreamStatusEntry entries[32];
    size_t count = 0;
    ASSERT_EQ(analog.getStreamStatus(entries, 32, &count), aErrNone);
    EXPECT_EQ(count, 3u + 3 * vmod::analog::Channels);
    uint16_t offset = 0;
    vm.network.clearRequests();
    EXPECT_EQ(analog.getUEI16(vmod::analog::Offset, 3, &offset), aErrNone);
    EXPECT_TRUE(vm.network.requests().empty()) << "subindexed values come from the cache too";
    EXPECT_TRUE(eventually([&] { return seen.count() == 2; })) << "the callback of the one option, twice";
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(seen.count(), 2u);
    {
        std::lock_guard<std::mutex> guard(seen.lock);
        EXPECT_EQ(seen.threads.size(), 1u);
    }
    EXPECT_EQ(analog.setStreamEnabled(false), aErrNone) << "removes every subscription of the entity";
    EXPECT_TRUE(vm.network.router().subscriptions().empty());
}

TEST_F(Streams, AtMost499CallbacksWait) {
    Seen seen;
    seen.hold = true;
    ASSERT_EQ(link->registerStreamCallback(4, 3, 5, 1, true, Seen::record, &seen), aErrNone);
    vm.link.sendPacket(4, sample(3, 5, 1, 3, 0, 4));
    {
        std::unique_lock<std::mutex> hold(seen.lock);
        ASSERT_TRUE(seen.changed.wait_for(hold, std::chrono::seconds(2), [&] { return seen.entered; }));
    }
    for (uint32_t i = 1; i < 600; ++i)
        vm.link.sendPacket(4, sample(3, 5, 1, 3, i, 4));
    settle();
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(4, 3, 5, 1, 0, &value), aErrNone);
    EXPECT_EQ(value, 599u) << "the cache saw every sample";
    seen.release();
    ASSERT_TRUE(eventually([&] { return seen.count() >= 500; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen.count(), 500u) << "the one running and 499 waiting; the rest dropped";
    EXPECT_EQ(link->enableStream(4, 3, 5, 1, false), aErrNone);
}

TEST_F(Streams, NoCallbackRunsOnceTheSubscriptionIsGone) {
    auto seen = std::make_unique<Seen>();
    seen->delayMs = 5;
    ASSERT_EQ(link->registerStreamCallback(4, 3, 5, 1, true, Seen::record, seen.get()), aErrNone);
    for (uint32_t i = 0; i < 100; ++i)
        vm.link.sendPacket(4, sample(3, 5, 1, 3, i, 4));
    ASSERT_TRUE(eventually([&] { return seen->count() >= 3; }));
    ASSERT_EQ(link->registerStreamCallback(4, 3, 5, 1, false, nullptr, nullptr), aErrNone);
    const size_t after = seen->count();
    EXPECT_LT(after, 100u);
    seen.reset(); // a callback still to come would touch freed memory
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

struct SelfRemoval {
    Link* link;
    std::atomic<int> calls{0};
    static uint8_t run(const aPacket*, void* ref) {
        auto* s = static_cast<SelfRemoval*>(ref);
        if (s->calls++ == 0)
            (void)s->link->enableStream(4, 3, 5, 1, false);
        return 0;
    }
};

TEST_F(Streams, ACallbackMayRemoveItsOwnSubscription) {
    SelfRemoval self{link};
    ASSERT_EQ(link->registerStreamCallback(4, 3, 5, 1, true, SelfRemoval::run, &self), aErrNone);
    vm.link.sendPacket(4, sample(3, 5, 1, 3, 1, 4));
    ASSERT_TRUE(eventually([&] { return self.calls.load() == 1; }));
    ASSERT_TRUE(eventually([&] { return vm.network.router().subscriptions().empty(); }));
    vm.link.sendPacket(4, sample(3, 5, 1, 3, 2, 4));
    EXPECT_TRUE(inFifo({3, 5, 0x41}));
    EXPECT_EQ(self.calls.load(), 1);
}

TEST_F(Streams, DestroyingTheLinkTellsTheModuleAndStopsCallbacks) {
    auto seen = std::make_unique<Seen>();
    seen->delayMs = 2;
    {
        Module other(4);
        ASSERT_EQ(other.setConfig(sharingOff()), aErrNone);
        ASSERT_EQ(other.connectFromSpec(vm.spec()), aErrNone);
        ASSERT_EQ(other.getLink()->registerStreamCallback(4, vmod::kAnalogCommand, 0xFF, 0, true, Seen::record,
                                                          seen.get()),
                  aErrNone);
        vm.network.setStreamInterval(5);
        ASSERT_TRUE(eventually([&] { return seen->count() >= 5; }));
    }
    vm.network.setStreamInterval(0);
    EXPECT_TRUE(vm.network.router().subscriptions().empty()) << "unsubscribed on the way out";
    seen.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

} // namespace
