// The link engine over the real libusb against the virtual module on a umockdev-emulated bus.
// Runs under umockdev-wrapper; skipped (77) only when the preload is missing.
#include "LinkBytes.h"
#include "TcpTransport.h"
#include "UsbTestBus.h"
#include "UsbTransport.h"
#include "VirtualModule.h"
#include "aLink.h"
#include "aLinkManagerInternal.h"

#include <arpa/inet.h>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

constexpr uint8_t kAddress = kUsbModuleAddress;
constexpr uint32_t kSerial = kUsbModuleSerial;

vmod::Config moduleConfig(uint32_t serial = kSerial) { return usbModuleConfig(serial); }
typedef LibusbContextReset ContextReset;

uint8_t selectEcho(const aPacket* p, void*) { return p->dataSize >= 1 && p->data[0] == 23; }

void expectEcho(aLinkRef link, uint8_t value, uint8_t address = kAddress) {
    const uint8_t data[2] = {23, value};
    aPacket* request = aPacket_CreateWithData(address, 2, data);
    ASSERT_EQ(aLink_PutPacket(link, request), aErrNone);
    (void)aPacket_Destroy(&request);
    aPacket* reply = aLink_AwaitFirst(link, selectEcho, nullptr, 3000);
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->address, address);
    EXPECT_EQ(reply->dataSize, 2);
    EXPECT_EQ(reply->data[1], value);
    (void)aPacket_Destroy(&reply);
}

class UsbLink : public ::testing::Test {
protected:
    void TearDown() override {
        if (link) {
            EXPECT_EQ(aLink_Destroy(&link), aErrNone);
        }
    }
    bool waitStatus(linkStatus wanted, int timeoutMs = 5000) {
        return waitUntil([&] { return aLink_GetStatus(link) == wanted; }, timeoutMs);
    }

    vmod::UsbBus bus;
    vmod::Module module{moduleConfig()};
    vmod::UsbTransport usb{bus, module};
    ContextReset context;
    aLinkRef link = 0;
};

} // namespace

TEST_F(UsbLink, OpensSynchronisesAndAnswersHeartbeats) {
    link = aLink_CreateUSB(kSerial);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_TRUE(usb.counters().claimed);
    EXPECT_GE(module.stats().syncQueries, 2u); // the rest of a burst is dropped once in sync
    EXPECT_EQ(module.stats().forcedRoute, 1);
    expectEcho(link, 0x5A);
    module.sendHeartbeat(0);
    module.sendHeartbeat(1);
    ASSERT_TRUE(module.waitFor([](const vmod::Stats& s) { return s.heartbeatAnswersGood == 2; },
                               3000));
    EXPECT_EQ(module.stats().heartbeatAnswersBad, 0u);
    expectEcho(link, 0x5B);
    EXPECT_EQ(aLink_GetPacket(link), nullptr) << "heartbeats never reach the inbound FIFO";

    aLinkRef second = aLink_CreateUSB(kSerial);
    EXPECT_EQ(second, link);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    expectEcho(link, 0x5C);
    EXPECT_EQ(aLink_Destroy(&link), aErrNone);
    EXPECT_FALSE(usb.counters().claimed);
    EXPECT_EQ(module.stats().forcedRoute, 0);
}

// Mended: an absorbed read error delivers no byte, so the link neither loses alignment nor
// invents a packet. A stalled IN endpoint is cleared and reads as no data.
TEST_F(UsbLink, AbsorbedReadErrorsAndStallsLeaveTheLinkInSync) {
    link = aLink_CreateUSB(kSerial);
    ASSERT_NE(link, 0u);
    expectEcho(link, 1);
    uint64_t queries = module.stats().syncQueries;
    uint64_t transfers = usb.counters().inTransfers;
    usb.failTransfers(vmod::Endpoint::In, 4);
    ASSERT_TRUE(waitUntil([&] { return usb.counters().inTransfers >= transfers + 4; }, 5000));
    usb.stall(vmod::Endpoint::In);
    ASSERT_TRUE(waitUntil([&] { return usb.counters().clearHalts >= 1; }, 5000));
    expectEcho(link, 2);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_EQ(module.stats().syncQueries, queries) << "no \"Out of sync\" burst";
    EXPECT_EQ(aLink_GetPacket(link), nullptr);
}

// The fifth error in a row fails the device for good: the link reports an I/O error until it
// is reset, which opens the device anew.
TEST_F(UsbLink, FifthReadErrorNeedsAReset) {
    link = aLink_CreateUSB(kSerial);
    ASSERT_NE(link, 0u);
    // Quiet first: a successful write (the forced route queued at creation) would reset the
    // error count that both directions share.
    expectEcho(link, 1);
    usb.failTransfers(vmod::Endpoint::In, 5);
    ASSERT_TRUE(waitStatus(linkStatusIOError));
    ASSERT_EQ(aLink_Reset(link), aErrNone);
    EXPECT_EQ(aLink_GetStatus(link), linkStatusRunning);
    EXPECT_TRUE(usb.counters().claimed);
    expectEcho(link, 3);
}

TEST_F(UsbLink, SilentModuleGivesNoLink) {
    module.setSilent(true);
    size_t entries = aLinkManager_Count();
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
    EXPECT_EQ(aLinkManager_Count(), entries);
    EXPECT_FALSE(usb.counters().claimed);
    EXPECT_EQ(aLink_CreateUSB(0x33333333), 0u) << "no such module";
    EXPECT_EQ(aLinkManager_Count(), entries);
}

// A USB serial number may be the same number as an IPv4 address (here 127.0.0.1): the two are
// different devices and must not share a link.
TEST(UsbLinkIdentity, SerialNumberEqualToAnAddressIsAnotherDevice) {
    uint32_t loopback = htonl(INADDR_LOOPBACK);
    vmod::UsbBus bus;
    vmod::Module onUsb(moduleConfig(loopback));
    vmod::UsbTransport usb(bus, onUsb);
    vmod::Config tcpConfig = moduleConfig(0x11111111);
    tcpConfig.address = 8;
    vmod::Module onTcp(tcpConfig);
    vmod::TcpTransport tcp(onTcp, 0);
    ContextReset context;

    aLinkRef viaTcp = aLink_CreateTCPIP(loopback, tcp.port());
    ASSERT_NE(viaTcp, 0u);
    aLinkRef viaUsb = aLink_CreateUSB(loopback);
    ASSERT_NE(viaUsb, 0u);
    EXPECT_NE(viaUsb, viaTcp);
    expectEcho(viaUsb, 7, kAddress);
    expectEcho(viaTcp, 8, 8);
    EXPECT_EQ(aLink_Destroy(&viaUsb), aErrNone);
    EXPECT_EQ(aLink_Destroy(&viaTcp), aErrNone);
}

int main(int argc, char** argv) { return runUsbTests(argc, argv); }
