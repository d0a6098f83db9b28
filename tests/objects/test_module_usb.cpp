// Module and entity objects over USB through the real libusb, against the virtual module on a
// umockdev-emulated bus. Runs under umockdev-wrapper; skipped (77) only when the preload is
// missing.
#include "I2CClass.h"
#include "Module.h"
#include "SystemClass.h"
#include "UsbTestBus.h"
#include "VirtualNetwork.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace Olvarin::Korvel;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
typedef std::vector<uint8_t> Bytes;

// A module at address 6 on the emulated bus.
class ModuleUsb : public ::testing::Test {
protected:
    void connect(Module& m) {
        ASSERT_EQ(m.setConfig(sharingOff()), aErrNone);
        ASSERT_EQ(m.connect(USB, kSerial), aErrNone);
    }

    vmod::UsbBus bus;
    vmod::Module link{linkConfig(6, kSerial)};
    vmod::Network network{link};
    vmod::UsbTransport usb{bus, link};
    LibusbContextReset context;
};

TEST_F(ModuleUsb, ConnectBySerialNumberLearnsAddress6) {
    Module missing(2);
    ASSERT_EQ(missing.setConfig(sharingOff()), aErrNone);
    EXPECT_EQ(missing.connect(USB, 0x11111111), aErrNotFound);
    Module shared(2);
    EXPECT_EQ(shared.connect(USB, kSerial), aErrUnimplemented) << "sharing on needs the shared-device service";

    Module learning(2);
    connect(learning);
    EXPECT_EQ(learning.getModuleAddress(), 6);
    linkSpec spec;
    ASSERT_EQ(learning.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.type, USB);
    EXPECT_EQ(spec.serialNumber, kSerial);
    SystemClass sys;
    ASSERT_EQ(sys.init(&learning, 0), aErrNone);
    uint32_t serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, kSerial);

    // From the specifier: enumerating the emulated bus while this process has the device open
    // takes the bus down.
    Module fixed(2, false, 0);
    ASSERT_EQ(fixed.setConfig(sharingOff()), aErrNone);
    ASSERT_EQ(fixed.connectFromSpec(spec), aErrNone); // shares the engine link
    EXPECT_EQ(fixed.getModuleAddress(), 2);
    EXPECT_EQ(learning.disconnect(), aErrNone);
    EXPECT_TRUE(fixed.isConnected()) << "one holder gone, one left";
}

TEST_F(ModuleUsb, WithoutSerialNumberTheFirstModuleOfTheModel) {
    vmod::Module otherLink(linkConfig(8, 0x0BADCAFE));
    vmod::Network otherNetwork(otherLink);
    vmod::UsbOptions options;
    options.productId = 0x0013;
    vmod::UsbTransport otherUsb(bus, otherLink, options);
    LibusbContextReset context; // before the second device goes
    Module m(2, 0x13);
    ASSERT_EQ(m.setConfig(sharingOff()), aErrNone);
    ASSERT_EQ(m.discoverAndConnect(USB, 0), aErrNone);
    EXPECT_EQ(m.getModuleAddress(), 8);
    linkSpec spec;
    ASSERT_EQ(m.getLinkSpecifier(&spec), aErrNone);
    EXPECT_EQ(spec.serialNumber, 0x0BADCAFEu);
    EXPECT_EQ(m.disconnect(), aErrNone);
    Module none(2, 0x14);
    ASSERT_EQ(none.setConfig(sharingOff()), aErrNone);
    EXPECT_EQ(none.discoverAndConnect(USB, 0), aErrNotFound);
}

TEST_F(ModuleUsb, ByteStringsSlotsAndFactoryData) {
    Module m(2);
    connect(m);
    SystemClass sys;
    ASSERT_EQ(sys.init(&m, 0), aErrNone);
    for (size_t n : {48u, 49u}) {
        Bytes name(n);
        std::iota(name.begin(), name.end(), uint8_t(n));
        ASSERT_EQ(sys.setName(name.data(), n), aErrNone);
        uint8_t back[64];
        size_t received = 0;
        ASSERT_EQ(sys.getName(back, sizeof back, &received), aErrNone);
        EXPECT_EQ(Bytes(back, back + received), name);
    }
    uint8_t small[10];
    size_t received = 0;
    EXPECT_EQ(sys.getName(small, sizeof small, &received), aErrMemory);

    Bytes data(60);
    std::iota(data.begin(), data.end(), 0);
    Link* link = m.getLink();
    ASSERT_EQ(link->loadStoreSlot(6, 1, 3, data.data(), data.size()), aErrNone);
    EXPECT_EQ(network.router().slotWriteChunks(), (std::vector<size_t>{25, 25, 10}));
    uint8_t buffer[64];
    size_t count = 0;
    ASSERT_EQ(link->unloadStoreSlot(6, 1, 3, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + count), data);

    ASSERT_EQ(link->setFactoryData(6, 1, data.data(), data.size()), aErrNone);
    ASSERT_EQ(link->getFactoryData(6, 1, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + count), data);
    EXPECT_EQ(network.router().factoryPieces(), (std::vector<size_t>{26, 26, 8, 26, 26, 8}));
}

TEST_F(ModuleUsb, AModuleBehindTheRoutingModule) {
    vmod::DeviceConfig behindConfig;
    behindConfig.address = 0x0C;
    behindConfig.serialNumber = 0x2181F0EE;
    network.addBehind(behindConfig);
    Module router(0, 0);
    connect(router);
    ASSERT_EQ(router.getModuleAddress(), 6);
    SystemClass routerSystem;
    ASSERT_EQ(routerSystem.init(&router, 0), aErrNone);
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
    I2CClass i2c;
    ASSERT_EQ(i2c.init(&router, 0), aErrNone);
    const uint8_t zeros[2] = {0, 0};
    EXPECT_EQ(i2c.write(0x0C, 2, zeros), aErrNone);
    EXPECT_EQ(i2c.write(0x0E, 2, zeros), aErrNotFound);

    Module behind(0x0C, false, 0);
    ASSERT_EQ(behind.setConfig(sharingOff()), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    SystemClass sys;
    ASSERT_EQ(sys.init(&behind, 0), aErrNone);
    uint32_t serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0x2181F0EEu);
    ASSERT_EQ(routerSystem.routeToMe(0), aErrNone);
}

} // namespace

int main(int argc, char** argv) { return runUsbTests(argc, argv); }
