// The link engine against a scripted module over TCP on loopback, a socketpair stream and a
// pseudo-terminal serial port.
#include "aDebugging.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "ScriptedPeer.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
typedef std::chrono::steady_clock Clock;

namespace {

const Bytes kForceRouteOn = {0xAF, 0x01, 0x01};
const Bytes kForceRouteOff = {0xAF, 0x01, 0x00};
const Bytes kSyncQuery = {0xAD, 0x00};

aPacket* makePacket(uint8_t address, Bytes data) {
    return aPacket_CreateWithData(address, data.size(), data.data());
}

Bytes contents(const aPacket* p) {
    Bytes b(size_t(p->dataSize) + 2);
    b[0] = p->address;
    b[1] = p->dataSize;
    for (size_t i = 0; i < p->dataSize; ++i)
        b[2 + i] = p->data[i];
    return b;
}

// The next received packet as raw frame bytes; empty on time-out.
Bytes awaitFrame(aLinkRef link, uint32_t timeoutMs = 3000) {
    aPacket* p = aLink_AwaitPacket(link, timeoutMs);
    if (!p)
        return {};
    Bytes b = contents(p);
    (void)aPacket_Destroy(&p);
    return b;
}

aErr put(aLinkRef link, uint8_t address, Bytes data) {
    aPacket* p = makePacket(address, data);
    aErr e = aLink_PutPacket(link, p);
    (void)aPacket_Destroy(&p);
    return e;
}

bool waitStatus(aLinkRef link, linkStatus wanted, std::chrono::milliseconds timeout = 3s) {
    auto end = Clock::now() + timeout;
    while (aLink_GetStatus(link) != wanted) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

size_t countFrames(const std::vector<Bytes>& frames, const Bytes& frame) {
    size_t n = 0;
    for (const auto& f : frames)
        n += f == frame;
    return n;
}

uint8_t selectNothing(const aPacket*, void*) { return 0; }
// Selects nothing; notes whether a one-byte packet is queued.
uint8_t spotOneByte(const aPacket* p, void* ref) {
    if (p->dataSize == 1)
        *static_cast<bool*>(ref) = true;
    return 0;
}
uint8_t selectLength(const aPacket* p, void* ref) { return p->dataSize == *static_cast<int*>(ref); }

// A TCP link to a scripted module.
struct TcpLink {
    LoopbackListener listener;
    aLinkRef link = 0;
    std::unique_ptr<ScriptedPeer> peer;

    TcpLink() {
        link = aLink_CreateTCPIP(loopbackAddress(), listener.port());
        int fd = listener.accept();
        if (fd >= 0)
            peer = std::make_unique<ScriptedPeer>(fd);
    }
    ~TcpLink() {
        if (link)
            (void)aLink_Destroy(&link);
    }
    bool ok() const { return link != 0 && peer != nullptr; }
};

// Test transport over one end of a socketpair: get waits up to 100 ms; `failing` makes every get
// report an I/O error.
struct PairTransport {
    int fd;
    std::atomic<bool> failing{false};
};

aErr pairGet(uint8_t* byte, void* ref) {
    auto* t = static_cast<PairTransport*>(ref);
    if (t->failing)
        return aErrIO;
    struct pollfd p = {t->fd, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
        return aErrNotReady;
    return read(t->fd, byte, 1) == 1 ? aErrNone : aErrNotReady;
}
aErr pairWrite(const uint8_t* bytes, size_t count, void* ref) {
    auto* t = static_cast<PairTransport*>(ref);
    return send(t->fd, bytes, count, MSG_NOSIGNAL) == ssize_t(count) ? aErrNone : aErrWrite;
}
aErr pairPut(uint8_t byte, void* ref) { return pairWrite(&byte, 1, ref); }
aErr pairDelete(void* ref) {
    auto* t = static_cast<PairTransport*>(ref);
    close(t->fd);
    delete t;
    return aErrNone;
}

// A link on a socketpair stream made by the test.
struct PairLink {
    PairTransport* transport = nullptr; // owned by the stream, then by the link
    aLinkRef link = 0;
    std::unique_ptr<ScriptedPeer> peer;

    PairLink() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            return;
        transport = new PairTransport{fds[0]};
        aStreamRef stream = aStream_Create(pairGet, pairPut, pairWrite, pairDelete, transport);
        peer = std::make_unique<ScriptedPeer>(fds[1]);
        link = aLink_Create(stream);
    }
    ~PairLink() {
        if (link)
            (void)aLink_Destroy(&link);
    }
};

} // namespace

TEST(Link, TcpLinkCarriesPacketsBothWaysAndReleasesTheRouteOnDestroy) {
    TcpLink t;
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(aLink_GetStatus(t.link), linkStatusRunning);
    EXPECT_TRUE(t.peer->waitForCount(kForceRouteOn, 1));

    ASSERT_EQ(put(t.link, 2, {23, 1, 2}), aErrNone);
    Bytes full = {2, 28};
    for (uint8_t i = 0; i < 28; ++i)
        full.push_back(i);
    ASSERT_EQ(put(t.link, 2, Bytes(full.begin() + 2, full.end())), aErrNone);
    EXPECT_TRUE(t.peer->waitForCount({2, 3, 23, 1, 2}, 1));
    EXPECT_TRUE(t.peer->waitForCount(full, 1));

    t.peer->send({2, 3, 23, 9, 8, 4, 0, 6, 1, 0x7F});
    EXPECT_EQ(awaitFrame(t.link), (Bytes{2, 3, 23, 9, 8}));
    EXPECT_EQ(awaitFrame(t.link), (Bytes{4, 0}));
    EXPECT_EQ(awaitFrame(t.link), (Bytes{6, 1, 0x7F}));
    t.peer->send(full);
    EXPECT_EQ(awaitFrame(t.link), full);
    EXPECT_EQ(aLink_GetPacket(t.link), nullptr);

    aLinkRef link = t.link;
    t.link = 0;
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(link, 0u);
    EXPECT_TRUE(t.peer->waitClosed());
    auto frames = t.peer->frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back(), kForceRouteOff);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusInvalid);
}

TEST(Link, SyncNeedsTwoEmptyRepliesFromOneAddressInARow) {
    struct Case {
        std::vector<uint8_t> replyAddresses;
        aErr result;
        linkStatus status;
    } cases[] = {
        {{4}, aErrNone, linkStatusRunning},            // 04 00 04 00
        {{4, 6}, aErrNotReady, linkStatusSyncing},     // 04 00 06 00
    };
    for (const auto& c : cases) {
        TcpLink t;
        ASSERT_TRUE(t.ok());
        t.peer->answerSyncFrom(c.replyAddresses);
        EXPECT_EQ(aLink_Sync(t.link), c.result) << int(c.replyAddresses.size());
        EXPECT_EQ(aLink_GetStatus(t.link), c.status);
        auto frames = t.peer->frames();
        // Sync drops what is left of the burst once in sync, so at least the two answered.
        EXPECT_GE(countFrames(frames, kSyncQuery), 2u);
        if (c.result == aErrNone) {
            // The spare replies to the burst were drained: nothing waits for a reader.
            EXPECT_EQ(aLink_GetPacket(t.link), nullptr);
            t.peer->send({4, 1, 0x42});
            EXPECT_EQ(awaitFrame(t.link), (Bytes{4, 1, 0x42}));
        } else {
            // Every mismatch started a new burst.
            EXPECT_GE(countFrames(frames, kSyncQuery), 12u);
        }
    }
}

TEST(Link, HeartbeatsAreAnsweredWithVPlusTwoAndNeverQueued) {
    TcpLink t;
    ASSERT_TRUE(t.ok());
    struct Case {
        Bytes beat, answer;
    } cases[] = {
        {{2, 2, 0, 0}, {2, 2, 0, 2}},
        {{2, 2, 0, 1}, {2, 2, 0, 3}},
        {{8, 2, 0, 0xFF}, {8, 2, 0, 1}},
    };
    for (const auto& c : cases) {
        t.peer->send(c.beat);
        EXPECT_TRUE(t.peer->waitForCount(c.answer, 1)) << int(c.beat[3]);
    }
    // Same command with another length is an ordinary packet.
    t.peer->send({2, 3, 0, 0, 0});
    EXPECT_EQ(awaitFrame(t.link), (Bytes{2, 3, 0, 0, 0}));
    EXPECT_EQ(aLink_GetPacket(t.link), nullptr);
}

namespace {
struct FilterLog {
    std::mutex lock;
    std::vector<Bytes> seen;
    bool consumeHeartbeats = true;
};
uint8_t recordingFilter(const aPacket* p, void* ref) {
    auto* log = static_cast<FilterLog*>(ref);
    std::lock_guard<std::mutex> hold(log->lock);
    log->seen.push_back(contents(p));
    return log->consumeHeartbeats && p->dataSize == 2 && p->data[0] == 0 ? 1 : 0;
}
} // namespace

TEST(Link, UserFilterSeesEveryPacketFirstAndMayConsumeIt) {
    TcpLink t;
    ASSERT_TRUE(t.ok());
    FilterLog log;
    ASSERT_EQ(aLink_InstallUserPacketFilter(t.link, recordingFilter, &log), aErrNone);
    t.peer->send({2, 2, 0, 0}); // consumed: no answer
    t.peer->send({2, 1, 5});    // seen, then queued
    EXPECT_EQ(awaitFrame(t.link), (Bytes{2, 1, 5}));
    ASSERT_EQ(aLink_InstallUserPacketFilter(t.link, nullptr, nullptr), aErrNone);
    {
        std::lock_guard<std::mutex> hold(log.lock);
        EXPECT_EQ(log.seen, (std::vector<Bytes>{{2, 2, 0, 0}, {2, 1, 5}}));
    }
    t.peer->send({2, 2, 0, 1}); // no filter any more: answered
    EXPECT_TRUE(t.peer->waitForCount({2, 2, 0, 3}, 1));
    // Answers go out in order, so the consumed heartbeat would have been answered before.
    EXPECT_EQ(t.peer->count({2, 2, 0, 2}), 0u);
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.seen.size(), 2u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(0, recordingFilter, &log), aErrParam);
}

TEST(Link, OddAddressIsOutOfSyncAndTheNextBurstRecovers) {
    TcpLink t;
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.peer->waitForCount(kForceRouteOn, 1));
    t.peer->send({2, 1, 1});
    EXPECT_EQ(awaitFrame(t.link), (Bytes{2, 1, 1}));
    t.peer->answerSyncFrom({2});
    t.peer->send({3});
    EXPECT_TRUE(t.peer->waitForCount(kSyncQuery, 6));
    EXPECT_TRUE(waitStatus(t.link, linkStatusRunning));
    t.peer->send({2, 1, 9});
    int one = 1;
    aPacket* p = aLink_AwaitFirst(t.link, selectLength, &one, 3000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(contents(p), (Bytes{2, 1, 9}));
    (void)aPacket_Destroy(&p);
}

TEST(Link, SilentDeviceKeepsTheLinkSyncingUntilItAnswers) {
    TcpLink t;
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(aLink_Sync(t.link), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(t.link), linkStatusSyncing);
    // Not in sync: a reader gets nothing and does not wait.
    auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(t.link, selectNothing, nullptr, 20000), nullptr);
    EXPECT_LT(Clock::now() - start, 10s);
    // A burst after every empty read.
    size_t before = t.peer->count(kSyncQuery);
    EXPECT_GE(before, 6u);
    EXPECT_TRUE(t.peer->waitForCount(kSyncQuery, before + 12));
    t.peer->answerSyncFrom({6});
    EXPECT_TRUE(waitStatus(t.link, linkStatusRunning));
}

TEST(Link, SecondCreateForTheSameDeviceSharesTheLink) {
    LoopbackListener one, two;
    aLinkRef a = aLink_CreateTCPIP(loopbackAddress(), one.port());
    ASSERT_NE(a, 0u);
    ScriptedPeer peer(one.accept());
    aLinkRef b = aLink_CreateTCPIP(loopbackAddress(), one.port());
    EXPECT_EQ(b, a);
    EXPECT_EQ(one.accept(200ms), -1); // no second connection
    // Same host, another port: another module.
    aLinkRef c = aLink_CreateTCPIP(loopbackAddress(), two.port());
    EXPECT_NE(c, 0u);
    EXPECT_NE(c, a);
    int fdTwo = two.accept();
    EXPECT_GE(fdTwo, 0);
    ScriptedPeer peerTwo(fdTwo);

    EXPECT_EQ(aLink_Destroy(&b), aErrNone);
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(aLink_GetStatus(a), linkStatusRunning);
    ASSERT_EQ(put(a, 2, {1}), aErrNone);
    EXPECT_TRUE(peer.waitForCount({2, 1, 1}, 1));
    aLinkRef again = a;
    EXPECT_EQ(aLink_Destroy(&a), aErrNone);
    EXPECT_TRUE(peer.waitClosed());
    EXPECT_EQ(aLink_GetStatus(again), linkStatusInvalid);
    EXPECT_EQ(aLink_Destroy(&again), aErrParam);
    EXPECT_EQ(aLink_Destroy(&c), aErrNone);
    EXPECT_TRUE(peerTwo.waitClosed());
}

TEST(Link, BadIdentifiersAreRejected) {
    aLinkRef none = 0;
    EXPECT_EQ(aLink_Destroy(&none), aErrParam);
    EXPECT_EQ(none, 0u);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
    aLinkRef stale = 99999;
    EXPECT_EQ(aLink_Destroy(&stale), aErrParam);
    EXPECT_EQ(stale, 0u);
    EXPECT_EQ(aLink_GetStatus(99999), linkStatusInvalid);
    EXPECT_EQ(put(99999, 2, {1}), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(99999, 1), aErrNotFound);
    EXPECT_EQ(aLink_Start(99999), aErrParam);
    EXPECT_EQ(aLink_Sync(99999), aErrParam);
    EXPECT_EQ(aLink_Reset(99999), aErrParam);
    EXPECT_EQ(aLink_GetPacket(99999), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(99999, selectNothing, nullptr, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(99999, selectNothing, nullptr), 0u);
    EXPECT_EQ(aLink_Create(nullptr), 0u);
    EXPECT_EQ(aLink_CreateTCPIP(loopbackAddress(), 1), 0u); // nothing listens on port 1
}

TEST(Link, DestroyWakesReadersWaitingOnTheLink) {
    TcpLink t;
    ASSERT_TRUE(t.ok());
    std::atomic<int> returned{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
        readers.emplace_back([&, i] {
            aPacket* p = i == 0 ? aLink_AwaitPacket(t.link, 20000)
                                : aLink_AwaitFirst(t.link, selectNothing, nullptr, 20000);
            EXPECT_EQ(p, nullptr);
            returned++;
        });
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(returned.load(), 0);
    auto start = Clock::now();
    aLinkRef link = t.link;
    ASSERT_EQ(aLink_Destroy(&link), aErrNone);
    for (auto& r : readers)
        r.join();
    EXPECT_LT(Clock::now() - start, 10s);
    t.link = 0;
}

TEST(Link, ResetReopensTheStreamWithFreshFifos) {
    TcpLink t;
    ASSERT_TRUE(t.ok());
    ASSERT_TRUE(t.peer->waitForCount(kForceRouteOn, 1));
    t.peer->send({2, 1, 0x11}); // left unread: the reset drops it
    int one = 1;
    bool queued = false;
    for (int i = 0; i < 3000 && !queued; ++i) {
        queued = aLink_GetFirst(t.link, spotOneByte, &queued) != nullptr || queued;
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(queued);

    ASSERT_EQ(aLink_Reset(t.link), aErrNone);
    EXPECT_TRUE(t.peer->waitClosed());
    EXPECT_EQ(t.peer->frames().back(), kForceRouteOff);
    int fd = t.listener.accept();
    ASSERT_GE(fd, 0);
    ScriptedPeer second(fd);
    EXPECT_EQ(aLink_GetStatus(t.link), linkStatusRunning);
    EXPECT_TRUE(second.waitForCount(kForceRouteOn, 1));
    EXPECT_EQ(aLink_GetFirst(t.link, selectLength, &one), nullptr);
    ASSERT_EQ(put(t.link, 4, {7}), aErrNone);
    EXPECT_TRUE(second.waitForCount({4, 1, 7}, 1));
    second.send({4, 1, 8});
    EXPECT_EQ(awaitFrame(t.link), (Bytes{4, 1, 8}));
}

TEST(Link, BareStreamLinkWorksButCannotBeReset) {
    PairLink p;
    ASSERT_NE(p.link, 0u);
    EXPECT_TRUE(p.peer->waitForCount(kForceRouteOn, 1));
    p.peer->answerSyncFrom({10});
    EXPECT_EQ(aLink_Sync(p.link), aErrNone);
    p.peer->send({10, 2, 3, 4});
    EXPECT_EQ(awaitFrame(p.link), (Bytes{10, 2, 3, 4}));

    EXPECT_EQ(aLink_Reset(p.link), aErrParam);
    EXPECT_EQ(aLink_GetStatus(p.link), linkStatusStopped);
    EXPECT_TRUE(p.peer->waitClosed());
    auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(p.link, selectNothing, nullptr, 20000), nullptr);
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(put(p.link, 10, {1}), aErrParam);
    EXPECT_EQ(aLink_Destroy(&p.link), aErrNone);
}

TEST(Link, ReadErrorsMarkTheLinkAndLoseNothing) {
    PairLink p;
    ASSERT_NE(p.link, 0u);
    p.peer->send({2, 1, 1});
    int one = 1;
    aPacket* first = aLink_AwaitFirst(p.link, selectLength, &one, 3000);
    ASSERT_NE(first, nullptr);
    (void)aPacket_Destroy(&first);
    p.peer->send({2, 1, 2});
    std::this_thread::sleep_for(300ms); // delivered before the failure
    p.transport->failing = true;
    EXPECT_TRUE(waitStatus(p.link, linkStatusIOError));
    p.peer->send({2, 1, 3});
    std::this_thread::sleep_for(150ms);
    p.transport->failing = false;
    // Later bytes are still framed and delivered; the status stays until a sync.
    EXPECT_EQ(awaitFrame(p.link), (Bytes{2, 1, 2}));
    EXPECT_EQ(awaitFrame(p.link), (Bytes{2, 1, 3}));
    EXPECT_EQ(aLink_GetStatus(p.link), linkStatusIOError);
    p.peer->answerSyncFrom({2});
    EXPECT_EQ(aLink_Sync(p.link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(p.link), linkStatusRunning);
}

namespace {
// The master of a pseudo-terminal whose slave is a serial port for the library.
struct Pty {
    int master = -1, slave = -1;
    std::string path;
    Pty() {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~Pty() {
        if (slave >= 0)
            close(slave);
    }
};
} // namespace

TEST(Link, SerialLinksCheckTheBaudRateAndShareByKey) {
    size_t entries = aLinkManager_Count();
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    EXPECT_EQ(aLink_CreateSerial(0x1234, pty.path.c_str(), 1200), 0u);
    EXPECT_EQ(aLinkManager_Count(), entries);
    EXPECT_EQ(aLink_CreateSerial(0x1234, "/nonexistent/tty", 115200), 0u);
    EXPECT_EQ(aLinkManager_Count(), entries);

    aLinkRef link = aLink_CreateSerial(0x1234, pty.path.c_str(), 115200);
    ASSERT_NE(link, 0u);
    ScriptedPeer peer(pty.master);
    aLinkRef shared = aLink_CreateSerial(0x1234, pty.path.c_str(), 115200);
    EXPECT_EQ(shared, link);
    EXPECT_TRUE(peer.waitForCount(kForceRouteOn, 1));
    ASSERT_EQ(put(link, 2, {23, 0xAA}), aErrNone);
    EXPECT_TRUE(peer.waitForCount({2, 2, 23, 0xAA}, 1));
    peer.send({2, 2, 0, 0});
    EXPECT_TRUE(peer.waitForCount({2, 2, 0, 2}, 1));
    peer.send({2, 1, 0x55});
    EXPECT_EQ(awaitFrame(link), (Bytes{2, 1, 0x55}));

    EXPECT_EQ(aLink_Destroy(&shared), aErrNone);
    EXPECT_EQ(aLinkManager_Count(), entries + 1);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_EQ(aLinkManager_Count(), entries);
}

TEST(Link, UsbLinkToAMissingModuleLeavesNothing) {
    TempDir nodes;
    setenv("KORVEL_NODE_PREFIX", (nodes.path() + "/korvel.").c_str(), 1);
    size_t entries = aLinkManager_Count();
    EXPECT_EQ(aLink_CreateUSB(0), 0u);
    EXPECT_EQ(aLink_CreateUSB(0x40F5849A), 0u);
    EXPECT_EQ(aLinkManager_Count(), entries);
}

// Callers still working on a link while another thread destroys it finish cleanly (the record
// outlives them; run under the sanitizers this catches any use after free).
TEST(Link, OperationsRacingDestroyEndCleanly) {
    for (int round = 0; round < 5; ++round) {
        TcpLink t;
        ASSERT_TRUE(t.ok());
        aLinkRef link = t.link;
        std::atomic<bool> stop{false};
        std::vector<std::thread> callers;
        FilterLog log;
        log.consumeHeartbeats = false;
        for (int i = 0; i < 4; ++i)
            callers.emplace_back([&, i] {
                while (!stop) {
                    (void)put(link, 2, {uint8_t(i)});
                    aPacket* p = i % 2 ? aLink_AwaitPacket(link, 5)
                                       : aLink_AwaitFirst(link, selectNothing, nullptr, 5);
                    if (p)
                        (void)aPacket_Destroy(&p);
                    (void)aLink_InstallUserPacketFilter(link, i ? recordingFilter : nullptr, &log);
                    (void)aLink_GetStatus(link);
                    (void)aLink_DrainPackets(link, selectNothing, nullptr);
                }
            });
        std::this_thread::sleep_for(20ms);
        t.peer->send({2, 1, 1, 2, 2, 0, 0});
        std::this_thread::sleep_for(20ms);
        ASSERT_EQ(aLink_Destroy(&t.link), aErrNone);
        std::this_thread::sleep_for(5ms);
        stop = true;
        for (auto& c : callers)
            c.join();
        EXPECT_EQ(aLink_GetStatus(link), linkStatusInvalid);
    }
}

TEST(Link, ConcurrentCreatesForOneDeviceShareOneLink) {
    LoopbackListener listener;
    aLinkRef links[4] = {};
    std::vector<std::thread> creators;
    for (auto& l : links)
        creators.emplace_back([&] { l = aLink_CreateTCPIP(loopbackAddress(), listener.port()); });
    for (auto& c : creators)
        c.join();
    int fd = listener.accept();
    ASSERT_GE(fd, 0);
    ScriptedPeer peer(fd);
    EXPECT_EQ(listener.accept(200ms), -1);
    for (auto& l : links) {
        EXPECT_NE(l, 0u);
        EXPECT_EQ(l, links[0]);
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(aLink_Destroy(&links[i]), aErrNone);
    EXPECT_EQ(aLink_GetStatus(links[3]), linkStatusRunning);
    EXPECT_EQ(aLink_Destroy(&links[3]), aErrNone);
    EXPECT_TRUE(peer.waitClosed());
}

// Library traces go to standard output only while the switch is on, and only for the bits set.
TEST(Link, TracesFollowTheDebugSwitches) {
    struct Case {
        uint8_t enable;
        uint32_t level;
        bool linkSteps, packets;
    } cases[] = {
        {0, 0xFFFFFFFF, false, false},
        {1, aDEBUG_LINK, true, false},
        {1, aDEBUG_PACKETS, false, true},
    };
    for (const auto& c : cases) {
        TcpLink t;
        ASSERT_TRUE(t.ok());
        t.peer->answerSyncFrom({2});
        ASSERT_TRUE(t.peer->waitForCount(kForceRouteOn, 1));
        aKorvelDebuggingEnable = c.enable;
        aKorvelDebuggingLevel = c.level;
        testing::internal::CaptureStdout();
        t.peer->send({3}); // out of sync, then a burst that the peer answers
        EXPECT_TRUE(t.peer->waitForCount(kSyncQuery, 6));
        EXPECT_TRUE(waitStatus(t.link, linkStatusRunning));
        t.peer->send({2, 2, 0, 0});
        EXPECT_TRUE(t.peer->waitForCount({2, 2, 0, 2}, 1));
        std::this_thread::sleep_for(50ms);
        std::string out = testing::internal::GetCapturedStdout();
        aKorvelDebuggingEnable = 0;
        aKorvelDebuggingLevel = 0;
        EXPECT_EQ(out.find("Out of sync") != std::string::npos, c.linkSteps) << out;
        EXPECT_EQ(out.find("synced") != std::string::npos, c.linkSteps) << out;
        EXPECT_EQ(out.find("sending HB UP") != std::string::npos, c.packets) << out;
        if (!c.enable) {
            EXPECT_EQ(out, "");
        }
    }
}
