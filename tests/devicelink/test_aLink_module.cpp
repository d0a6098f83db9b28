// The link engine against the virtual module over TCP on loopback, a pseudo-terminal as the
// kernel-driver node of a USB module, and a pseudo-terminal as a serial port.
#include "aLink.h"
#include "aLinkManagerInternal.h"
#include "kvusb_driver.h"
#include "LinkBytes.h"
#include "PtyTransport.h"
#include "TcpTransport.h"
#include "TestProcess.h"
#include "VirtualModule.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

using namespace std::chrono_literals;

namespace {

constexpr uint8_t kAddress = 6;
constexpr uint32_t kSerial = 0x40F5849A;

enum class Transport { Tcp, Node, Serial };

std::string name(const ::testing::TestParamInfo<Transport>& info) {
    switch (info.param) {
    case Transport::Tcp: return "Tcp";
    case Transport::Node: return "Node";
    default: return "Serial";
    }
}

vmod::Config moduleConfig() {
    vmod::Config c;
    c.address = kAddress;
    c.serialNumber = kSerial;
    return c;
}

uint8_t selectEcho(const aPacket* p, void*) { return p->dataSize >= 1 && p->data[0] == 23; }

class LinkOverModule : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override {
        switch (GetParam()) {
        case Transport::Tcp:
            tcp = std::make_unique<vmod::TcpTransport>(module);
            break;
        case Transport::Node:
            setenv(kvusb_NODE_PREFIX_VARIABLE, prefix.c_str(), 1);
            pty = std::make_unique<vmod::PtyTransport>(
                module, vmod::PtyTransport::Kind::Node,
                vmod::PtyTransport::nodePath(prefix, kSerial));
            break;
        case Transport::Serial:
            pty = std::make_unique<vmod::PtyTransport>(module, vmod::PtyTransport::Kind::Serial);
            break;
        }
    }
    void TearDown() override {
        if (link) {
            EXPECT_EQ(aLink_Destroy(&link), aErrNone);
        }
        unsetenv(kvusb_NODE_PREFIX_VARIABLE);
    }

    // The USB link synchronises while it is created; the others do not.
    bool syncsOnCreate() const { return GetParam() == Transport::Node; }

    aLinkRef create() {
        switch (GetParam()) {
        case Transport::Tcp: return aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), tcp->port());
        case Transport::Node: return aLink_CreateUSB(kSerial);
        default: return aLink_CreateSerial(kSerial, pty->path().c_str(), 115200);
        }
    }

    // Created and in sync.
    void connect() {
        link = create();
        ASSERT_NE(link, 0u);
        if (!syncsOnCreate()) {
            ASSERT_EQ(aLink_Sync(link), aErrNone);
        }
        ASSERT_EQ(aLink_GetStatus(link), linkStatusRunning);
    }

    // Sends an echo request and expects the same packet back.
    void expectEcho(aLinkRef on, std::vector<uint8_t> data) {
        data.insert(data.begin(), 23);
        aPacket* request = aPacket_CreateWithData(kAddress, data.size(), data.data());
        ASSERT_EQ(aLink_PutPacket(on, request), aErrNone);
        (void)aPacket_Destroy(&request);
        aPacket* reply = aLink_AwaitFirst(on, selectEcho, nullptr, 3000);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(reply->address, kAddress);
        EXPECT_EQ(std::vector<uint8_t>(reply->data, reply->data + reply->dataSize), data);
        (void)aPacket_Destroy(&reply);
    }

    bool waitStatus(linkStatus wanted, int timeoutMs = 3000) {
        return waitUntil([&] { return aLink_GetStatus(link) == wanted; }, timeoutMs);
    }

    TempDir dir;
    std::string prefix = dir.path() + "/korvel.";
    vmod::Module module{moduleConfig()};
    std::unique_ptr<vmod::TcpTransport> tcp;
    std::unique_ptr<vmod::PtyTransport> pty;
    aLinkRef link = 0;
};

} // namespace

TEST_P(LinkOverModule, SynchronisesSwitchesTheRouteAndCarriesPackets) {
    connect();
    vmod::Stats s = module.stats();
    EXPECT_GE(s.syncQueries, 2u); // the rest of a burst is dropped once in sync
    EXPECT_EQ(s.framingErrors, 0u);
    EXPECT_EQ(s.forcedRoute, 1);
    expectEcho(link, {1, 2, 3});
    std::vector<uint8_t> big(27);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(0xF0 + i);
    expectEcho(link, big);
    // Nothing but the echo replies reached the inbound FIFO.
    EXPECT_EQ(aLink_GetPacket(link), nullptr);
}

TEST_P(LinkOverModule, HeartbeatsAreAnsweredAndNeverQueued) {
    connect();
    module.sendHeartbeat(0);
    module.sendHeartbeat(1);
    ASSERT_TRUE(module.waitFor([](const vmod::Stats& s) { return s.heartbeatAnswersGood >= 2; },
                               3000));
    // The module's own pace, with traffic going on meanwhile.
    module.setHeartbeatInterval(10);
    for (uint8_t i = 0; i < 10; ++i)
        expectEcho(link, {i});
    uint64_t sent = module.stats().heartbeatsSent;
    module.setHeartbeatInterval(0);
    ASSERT_TRUE(module.waitFor(
        [&](const vmod::Stats& s) { return s.heartbeatAnswersGood >= sent; }, 3000));
    EXPECT_EQ(module.stats().heartbeatAnswersBad, 0u);
    EXPECT_EQ(aLink_GetPacket(link), nullptr);
}

TEST_P(LinkOverModule, OddAddressStartsANewBurstAndTheLinkRecovers) {
    connect();
    uint64_t before = module.stats().syncQueries;
    module.sendOddAddress();
    ASSERT_TRUE(module.waitFor(
        [&](const vmod::Stats& s) { return s.syncQueries >= before + 6; }, 3000));
    EXPECT_TRUE(waitStatus(linkStatusRunning));
    expectEcho(link, {9});
}

TEST_P(LinkOverModule, SyncRealignsAfterGarbage) {
    connect();
    module.sendGarbage(40);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    expectEcho(link, {4, 5});
}

TEST_P(LinkOverModule, SilentModule) {
    module.setSilent(true);
    size_t entries = aLinkManager_Count();
    if (syncsOnCreate()) {
        // A USB module that does not answer the synchronisation gives no link.
        EXPECT_EQ(create(), 0u);
        EXPECT_EQ(aLinkManager_Count(), entries);
        return;
    }
    link = create();
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_Sync(link), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusSyncing);
    module.setSilent(false);
    EXPECT_TRUE(waitStatus(linkStatusRunning));
    expectEcho(link, {1});
}

TEST_P(LinkOverModule, SharedUntilTheLastHolderLetsGo) {
    connect();
    aLinkRef second = create();
    EXPECT_EQ(second, link);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    expectEcho(link, {2});
    uint64_t routes = module.stats().forceRouteCount;
    aLinkRef last = link;
    link = 0;
    EXPECT_EQ(aLink_Destroy(&last), aErrNone);
    EXPECT_EQ(aLink_GetStatus(last), linkStatusInvalid);
    // The route was switched off on the way out.
    EXPECT_TRUE(module.waitFor(
        [&](const vmod::Stats& s) { return s.forceRouteCount > routes && s.forcedRoute == 0; },
        3000));
    if (tcp) {
        EXPECT_TRUE(waitUntil([&] { return !tcp->connected(); }, 3000));
    }
}

TEST_P(LinkOverModule, ResetRecreatesTheStream) {
    connect();
    if (GetParam() == Transport::Serial) {
        // A serial link cannot be re-created: it is left stopped.
        EXPECT_EQ(aLink_Reset(link), aErrParam);
        EXPECT_EQ(aLink_GetStatus(link), linkStatusStopped);
        return;
    }
    ASSERT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    if (tcp) {
        EXPECT_EQ(tcp->connections(), 2u);
    }
    EXPECT_TRUE(module.waitFor([](const vmod::Stats& s) { return s.forcedRoute == 1; }, 3000));
    expectEcho(link, {3});
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkOverModule,
                         ::testing::Values(Transport::Tcp, Transport::Node, Transport::Serial),
                         name);

// A connection the module drops abortively is re-made by the socket stream underneath; the link
// carries on.
TEST(LinkOverTcp, SurvivesAConnectionReset) {
    vmod::Module module{moduleConfig()};
    vmod::TcpTransport tcp{module};
    aLinkRef link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), tcp.port());
    ASSERT_NE(link, 0u);
    ASSERT_TRUE(waitUntil([&] { return tcp.connected(); }, 3000));
    tcp.resetConnection();
    ASSERT_TRUE(waitUntil([&] { return tcp.connections() == 2 && tcp.connected(); }, 5000));
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    const uint8_t echo = 23;
    aPacket* request = aPacket_CreateWithData(kAddress, 1, &echo);
    ASSERT_EQ(aLink_PutPacket(link, request), aErrNone);
    (void)aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(link, selectEcho, nullptr, 3000);
    EXPECT_NE(reply, nullptr);
    (void)aPacket_Destroy(&reply);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
}
