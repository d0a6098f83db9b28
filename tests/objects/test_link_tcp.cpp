// The link object's data slots and factory data, and a routing module with modules behind it,
// over TCP/IP against the virtual module.
#include "I2CClass.h"
#include "Module.h"
#include "SystemClass.h"
#include "VirtualNetwork.h"

#include <gtest/gtest.h>
#include <numeric>

using namespace Olvarin::Korvel;

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes counting(size_t n, uint8_t first = 1) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

class LinkStorage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(module.setConfig(sharingOff()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(vm.spec()), aErrNone);
        link = module.getLink();
        vm.network.clearRequests();
    }
    vmod::Device& device() { return vm.network.router(); }

    VirtualTcpModule vm;
    Module module{4};
    Link* link = nullptr;
};

TEST_F(LinkStorage, SlotWriteInChunksOf25AndReadBack) {
    const Bytes data = counting(60);
    ASSERT_EQ(link->loadStoreSlot(4, 0, 1, data.data(), data.size()), aErrNone);
    EXPECT_EQ(device().slotWriteChunks(), (std::vector<size_t>{25, 25, 10}));
    EXPECT_EQ(device().slot(0, 1), data);
    auto sent = requestData(vm.network);
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[0], (Bytes{4, 4, 0, 1}));
    EXPECT_EQ(Bytes(sent[1].begin(), sent[1].begin() + 4), (Bytes{4, 7, 1, 1}));
    EXPECT_EQ(sent[4], (Bytes{4, 8, 1}));

    size_t size = 0, capacity = 0;
    EXPECT_EQ(link->storeSlotSize(4, 0, 1, &size), aErrNone);
    EXPECT_EQ(size, 60u);
    EXPECT_EQ(link->storeSlotCapacity(4, 0, 1, &capacity), aErrNone);
    EXPECT_EQ(capacity, 512u);

    uint8_t buffer[100] = {};
    size_t count = 0;
    device().clearChunkRecords();
    ASSERT_EQ(link->unloadStoreSlot(4, 0, 1, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(count, 60u);
    EXPECT_EQ(Bytes(buffer, buffer + count), data);
    EXPECT_EQ(device().slotReadChunks(), (std::vector<size_t>{25, 25, 10}));
}

TEST_F(LinkStorage, SlotReadIntoASmallBufferAndSlotErrors) {
    const Bytes data = counting(16, 0x40);
    device().setSlot(1, 2, data);
    uint8_t buffer[10] = {};
    size_t count = 0;
    EXPECT_EQ(link->unloadStoreSlot(4, 1, 2, buffer, sizeof buffer, &count), aErrOverrun);
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(Bytes(buffer, buffer + 10), Bytes(data.begin(), data.begin() + 10));
    EXPECT_EQ(requestData(vm.network).back(), (Bytes{4, 8, 1})) << "closed again";

    size_t capacity = 7;
    EXPECT_EQ(link->storeSlotCapacity(4, 9, 0, &capacity), aErrIndexRange) << "the module's code";
    EXPECT_EQ(capacity, 0u);
    EXPECT_EQ(link->loadStoreSlot(4, 9, 0, data.data(), data.size()), aErrMedia) << "cannot be opened";

    device().failOption(4, 7, aErrWrite);
    vm.network.clearRequests();
    EXPECT_EQ(link->loadStoreSlot(4, 0, 0, data.data(), data.size()), aErrWrite);
    auto sent = requestData(vm.network);
    EXPECT_EQ(sent.back(), (Bytes{4, 8, 1})) << "closed after the error";
    EXPECT_EQ(sent.size(), 3u) << "open, the failed chunk, close";

    vm.link.setSilent(true);
    EXPECT_EQ(link->storeSlotSize(4, 0, 0, &capacity), aErrTimeout) << "no reply is not a success";
    vm.link.setSilent(false);
}

TEST_F(LinkStorage, FactoryDataInPiecesOf26) {
    const Bytes data = counting(60, 0x80);
    ASSERT_EQ(link->setFactoryData(4, 2, data.data(), data.size()), aErrNone);
    EXPECT_EQ(device().factoryRecord(2), data);
    EXPECT_EQ(device().factoryPieces(), (std::vector<size_t>{26, 26, 8}));
    auto sent = requestData(vm.network);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0][1], 0x52);
    EXPECT_EQ(sent[1][1], 0x12);
    EXPECT_EQ(sent[2].size(), 10u);
    EXPECT_EQ(sent[3], (Bytes{94, 0x20, 0, 60}));

    uint8_t buffer[100] = {};
    size_t count = 0;
    vm.network.clearRequests();
    ASSERT_EQ(link->getFactoryData(4, 2, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(Bytes(buffer, buffer + count), data);
    sent = requestData(vm.network);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], (Bytes{94, 0x42}));
    EXPECT_EQ(sent[1], (Bytes{94, 0x02}));
    EXPECT_EQ(sent[3], (Bytes{94, 0x20, 0, 60}));

    EXPECT_EQ(link->getFactoryData(4, 2, buffer, 60, &count), aErrOverrun) << "a buffer of exactly the size";
    EXPECT_EQ(count, 0u);

    device().setFactoryRecord(3, counting(52));
    ASSERT_EQ(link->getFactoryData(4, 3, buffer, sizeof buffer, &count), aErrNone);
    EXPECT_EQ(count, 52u) << "two full pieces and an empty one";

    EXPECT_EQ(link->getFactoryData(4, 5, buffer, sizeof buffer, &count), aErrNotFound);
    EXPECT_EQ(link->getFactoryData(4, 16, buffer, sizeof buffer, &count), aErrParam);
    device().failOption(94, 0x10, aErrPermission);
    EXPECT_EQ(link->setFactoryData(4, 2, data.data(), data.size()), aErrPermission);
}

TEST_F(LinkStorage, NothingWithoutAConnection) {
    Link idle("idle");
    size_t n = 0;
    uint8_t b[4];
    EXPECT_EQ(idle.storeSlotSize(4, 0, 0, &n), aErrConnection);
    EXPECT_EQ(idle.loadStoreSlot(4, 0, 0, b, 4), aErrConnection);
    EXPECT_EQ(idle.getFactoryData(4, 1, b, 4, &n), aErrConnection);
    uint8_t address = 9;
    EXPECT_EQ(idle.getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(idle.connect(), aErrConfiguration) << "no specifier";
    linkSpec spec;
    EXPECT_EQ(idle.getLinkSpecifier(&spec), aErrNotFound);
    spec = vm.spec();
    spec.type = static_cast<linkType>(9);
    ASSERT_EQ(idle.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(idle.connect(), aErrMode);
    spec.type = CLIENT;
    ASSERT_EQ(idle.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(idle.connect(), aErrUnimplemented) << "the Velune client link comes with the shared-device service";
    spec.type = USB;
    ASSERT_EQ(idle.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(idle.connect(), aErrUnimplemented) << "USB through a shared-device server, sharing being on";
    ASSERT_EQ(idle.setConfig(sharingOff()), aErrNone);
    spec.type = CLIENT;
    ASSERT_EQ(idle.setLinkSpecifier(spec), aErrNone);
    EXPECT_EQ(idle.connect(), aErrConfiguration) << "Velune with sharing off";
    EXPECT_STREQ(idle.getName(), "idle");
}

// A routing module at address 4 with modules at 0x0A and 0x20 behind it.
class Routing : public ::testing::Test {
protected:
    void SetUp() override {
        vmod::DeviceConfig a, b;
        a.address = 0x0A;
        a.serialNumber = 0xB0000001;
        a.model = 17;
        b.address = 0x20;
        b.serialNumber = 0xB0000002;
        vm.network.addBehind(a);
        vm.network.addBehind(b);
        ASSERT_EQ(router.setConfig(sharingOff()), aErrNone);
        ASSERT_EQ(router.connectFromSpec(vm.spec()), aErrNone);
        ASSERT_EQ(routerSystem.init(&router, 0), aErrNone);
    }

    VirtualTcpModule vm{4, 0xD272031D};
    Module router{2};
    SystemClass routerSystem;
};

TEST_F(Routing, ProbesFindTheModulesBehindAndTheyAnswerThroughTheRouter) {
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
    I2CClass bus;
    ASSERT_EQ(bus.init(&router, 0), aErrNone);
    ASSERT_EQ(bus.setSpeed(3), aErrNone);
    std::vector<uint8_t> found;
    const uint8_t zeros[2] = {0, 0};
    for (int address = 2; address <= 252; address += 2) {
        if (address == router.getModuleAddress())
            continue;
        aErr e = bus.write(static_cast<uint8_t>(address), 2, zeros);
        if (e == aErrNone)
            found.push_back(static_cast<uint8_t>(address));
        else
            EXPECT_EQ(e, aErrNotFound);
    }
    EXPECT_EQ(found, (std::vector<uint8_t>{0x0A, 0x20}));

    Module behind(0x0A, false, 0);
    ASSERT_EQ(behind.setConfig(sharingOff()), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    EXPECT_EQ(behind.getModuleAddress(), 0x0A) << "networking mode stays off";
    EXPECT_EQ(behind.connectThroughLinkModule(&router), aErrNone) << "connected already: nothing happens";
    SystemClass sys;
    ASSERT_EQ(sys.init(&behind, 0), aErrNone);
    uint32_t serial = 0;
    uint8_t address = 0, routerAddress = 0, model = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0xB0000001u);
    EXPECT_EQ(sys.getModule(&address), aErrNone);
    EXPECT_EQ(address, 0x0A);
    EXPECT_EQ(sys.getRouter(&routerAddress), aErrNone);
    EXPECT_EQ(routerAddress, 4);
    EXPECT_EQ(sys.getModel(&model), aErrNone);
    EXPECT_EQ(model, 17);
    uint32_t build = 0;
    EXPECT_EQ(behind.getBuild(&build), aErrNone);

    // Reads on the bus return what was last written to that module.
    const uint8_t hello[3] = {'h', 'i', '!'};
    ASSERT_EQ(bus.write(0x20, 3, hello), aErrNone);
    uint8_t back[4] = {9, 9, 9, 9};
    ASSERT_EQ(bus.read(0x20, 4, back), aErrNone);
    EXPECT_EQ(Bytes(back, back + 4), (Bytes{'h', 'i', '!', 0}));

    // Both hold the one engine link: dropping one leaves the other connected.
    EXPECT_EQ(behind.disconnect(), aErrNone);
    EXPECT_TRUE(router.isConnected());
    EXPECT_EQ(routerSystem.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0xD272031Du);
}

TEST_F(Routing, RouteToMeSwitchesTheRouting) {
    const uint8_t routeOff[3] = {0xAF, 1, 0}; // as if the host had switched its forced route off
    vm.link.receive(routeOff, sizeof routeOff);
    ASSERT_EQ(routerSystem.routeToMe(0), aErrNone);
    Module behind(0x20, false, 0);
    ASSERT_EQ(behind.setConfig(sharingOff()), aErrNone);
    ASSERT_EQ(behind.connectThroughLinkModule(&router), aErrNone);
    SystemClass sys;
    ASSERT_EQ(sys.init(&behind, 0), aErrNone);
    uint32_t serial = 0;
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrTimeout) << "not routed to this host";
    ASSERT_EQ(routerSystem.routeToMe(1), aErrNone);
    EXPECT_EQ(sys.getSerialNumber(&serial), aErrNone);
    EXPECT_EQ(serial, 0xB0000002u);

    Module unconnected(2);
    Module another(0x0A, false, 0);
    EXPECT_EQ(another.connectThroughLinkModule(&unconnected), aErrInitialization);
    EXPECT_EQ(another.connectThroughLinkModule(nullptr), aErrParam);
}

} // namespace
