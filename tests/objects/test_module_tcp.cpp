// Module and entity objects end to end over TCP/IP against the virtual module: the request bytes
// on the wire, the replies decoded, error replies, byte strings, module information, echo,
// automatic networking.
#include "I2CClass.h"
#include "Module.h"
#include "SystemClass.h"
#include "TestProcess.h"
#include "VirtualNetwork.h"

#include <gtest/gtest.h>

using namespace Olvarin::Korvel;

namespace {

constexpr uint32_t kSerial = 0x40F5849A;
typedef std::vector<uint8_t> Bytes;

class ModuleTcp : public ::testing::Test {
public:
    void SetUp() override {
        ASSERT_EQ(module.setConfig(sharingOff()), aErrNone);
        ASSERT_EQ(module.connectFromSpec(vm.spec()), aErrNone);
        ASSERT_EQ(module.getModuleAddress(), 4) << "learnt from the module";
        ASSERT_EQ(system.init(&module, 0), aErrNone);
        ASSERT_EQ(analog.init(&module, vmod::kAnalogCommand, 1), aErrNone);
        vm.network.clearRequests();
    }
    vmod::Device& device() { return vm.network.router(); }
    // The data bytes of every request the module got since the last clear.
    std::vector<Bytes> requests() { return requestData(vm.network); }

    VirtualTcpModule vm{4, kSerial};
    Module module{2};
    SystemClass system;
    EntityClass analog;
};

// Each case: what the host does, the request bytes it must send, and the result.
struct WireCase {
    const char* what;
    std::function<aErr(ModuleTcp&, uint32_t*)> run;
    Bytes request;
    aErr result;
    uint32_t value; // read back (gets) or found in the module (sets)
    std::function<uint32_t(vmod::Device&)> stored;
};

TEST_F(ModuleTcp, RequestLayoutsAndDecodedReplies) {
    using A = ModuleTcp;
    const uint8_t an = vmod::kAnalogCommand;
    const WireCase cases[] = {
        {"get 8-bit model", [](A& t, uint32_t* v) { uint8_t b; aErr e = t.system.getModel(&b); *v = b; return e; },
         {3, 0x48, 0x20}, aErrNone, 13, nullptr},
        {"get 32-bit serial number",
         [](A& t, uint32_t* v) { return t.system.getSerialNumber(v); }, {3, 0x49, 0x20}, aErrNone, kSerial, nullptr},
        {"get 16-bit", [](A& t, uint32_t* v) { uint16_t s; aErr e = t.analog.getUEI16(2, &s); *v = s; return e; },
         {an, 0x42, 0x21}, aErrNone, 5000, nullptr},
        {"get 32-bit with subindex",
         [](A& t, uint32_t* v) { return t.analog.getUEI32(6, 3, v); }, {an, 0x46, 0x21, 3}, aErrNone, 0x10000, nullptr},
        {"get 8-bit with subindex",
         [](A& t, uint32_t* v) { uint8_t b; aErr e = t.analog.getUEI8(4, 2, &b); *v = b; return e; },
         {an, 0x44, 0x21, 2}, aErrNone, 1, nullptr},
        {"set 32-bit power limit",
         [](A& t, uint32_t*) { return t.system.setPowerLimitMax(0x01020304); }, {3, 0xA2, 0x20, 1, 2, 3, 4}, aErrNone,
         0x01020304, [](vmod::Device& d) { return d.value(3, 0, 34); }},
        {"set 8-bit LED, non-zero sent as 1", [](A& t, uint32_t*) { return t.system.setLED(7); },
         {3, 0x84, 0x20, 1}, aErrNone, 1, [](vmod::Device& d) { return d.value(3, 0, 4); }},
        {"set 16-bit", [](A& t, uint32_t*) { return t.analog.setUEI16(2, 0xBEEF); }, {an, 0x82, 0x21, 0xBE, 0xEF},
         aErrNone, 0xBEEF, [](vmod::Device& d) { return d.value(vmod::kAnalogCommand, 1, 2); }},
        {"set 8-bit with subindex", [](A& t, uint32_t*) { return t.analog.setUEI8(4, 1, 9); },
         {an, 0x84, 0x21, 1, 9}, aErrNone, 9, [](vmod::Device& d) { return d.value(vmod::kAnalogCommand, 1, 4, 1); }},
        {"set 16-bit with subindex", [](A& t, uint32_t*) { return t.analog.setUEI16(5, 2, 0x1234); },
         {an, 0x85, 0x21, 2, 0x12, 0x34}, aErrNone, 0x1234,
         [](vmod::Device& d) { return d.value(vmod::kAnalogCommand, 1, 5, 2); }},
        {"set 32-bit with subindex", [](A& t, uint32_t*) { return t.analog.setUEI32(6, 3, 0xA0B0C0D0); },
         {an, 0x86, 0x21, 3, 0xA0, 0xB0, 0xC0, 0xD0}, aErrNone, 0xA0B0C0D0,
         [](vmod::Device& d) { return d.value(vmod::kAnalogCommand, 1, 6, 3); }},
        {"call", [](A& t, uint32_t*) { return t.system.save(); }, {3, 0x8A, 0x20}, aErrNone, 1,
         [](vmod::Device& d) { return d.calls(3, 0, 10); }},
        {"route to me", [](A& t, uint32_t*) { return t.system.routeToMe(1); }, {3, 0x94, 0x20, 1}, aErrNone, 1,
         [](vmod::Device& d) { return d.value(3, 0, 20); }},
        {"signed 32-bit", [](A& t, uint32_t* v) { int32_t s; aErr e = t.system.getMinimumTemperature(&s); *v = uint32_t(s); return e; },
         {3, 0x5C, 0x20}, aErrNone, uint32_t(-4750000), nullptr},
        {"get of an option the module lacks", [](A& t, uint32_t* v) { return t.system.getUEI32(19, v); },
         {3, 0x53, 0x20}, aErrInvalidOption, 0, nullptr},
        {"set of a read-only option", [](A& t, uint32_t*) { return t.system.setUEI8(8, 5); }, {3, 0x88, 0x20, 5},
         aErrInvalidOption, 13, [](vmod::Device& d) { return d.value(3, 0, 8); }},
        {"8-bit get of a 32-bit option", [](A& t, uint32_t* v) { uint8_t b; aErr e = t.system.getUEI8(9, &b); *v = b; return e; },
         {3, 0x49, 0x20}, aErrSize, 0, nullptr},
        {"subindex out of range", [](A& t, uint32_t* v) { return t.analog.getUEI32(6, 9, v); },
         {an, 0x46, 0x21, 9}, aErrIndexRange, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vm.network.clearRequests();
        uint32_t value = 0;
        EXPECT_EQ(c.run(*this, &value), c.result);
        ASSERT_EQ(requests().size(), 1u);
        EXPECT_EQ(requests()[0], c.request);
        if (c.stored)
            EXPECT_EQ(c.stored(device()), c.value);
        else
            EXPECT_EQ(value, c.value);
    }
}

TEST_F(ModuleTcp, ErrorRepliesOnDemandAndMissingOptions) {
    device().failOption(3, 12, aErrMedia);
    uint32_t v = 1;
    EXPECT_EQ(system.getInputVoltage(&v), aErrMedia);
    EXPECT_EQ(v, 0u);
    device().failOption(3, 12, 0);
    EXPECT_EQ(system.getInputVoltage(&v), aErrNone);
    EXPECT_EQ(v, 5021000u);

    device().removeOption(3, 33);
    EXPECT_EQ(system.getPowerLimit(&v), aErrInvalidOption);
    EXPECT_EQ(module.hasUEI(3, 33, 0, 0), aErrInvalidOption);
    EXPECT_EQ(module.hasUEI(3, 34, 0, 0x80), aErrNone);

    EntityClass missing;
    ASSERT_EQ(missing.init(&module, 3, 5), aErrNone);
    EXPECT_EQ(missing.getUEI8(8, reinterpret_cast<uint8_t*>(&v)), aErrIndexRange);
    EntityClass none;
    EXPECT_EQ(none.getUEI32(1, &v), aErrResource) << "an entity without a module";
}

TEST_F(ModuleTcp, SettableOptionsRememberAndFactoryDefaultsRestore) {
    EXPECT_EQ(system.setHBInterval(25), aErrNone);
    EXPECT_EQ(system.setLEDMaxBrightness(40), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(system.getHBInterval(&b), aErrNone);
    EXPECT_EQ(b, 25);
    EXPECT_EQ(system.resetEntityToFactoryDefaults(), aErrNone);
    EXPECT_EQ(system.getLEDMaxBrightness(&b), aErrNone);
    EXPECT_EQ(b, 255);
    uint32_t version = 0, build = 0;
    EXPECT_EQ(system.getVersion(&version), aErrNone);
    EXPECT_EQ(version, 0x2F020A04u);
    EXPECT_EQ(system.getBuild(&build), aErrNone);
    EXPECT_EQ(module.getBuild(&version), aErrNone);
    EXPECT_EQ(version, build) << "command 73 and the system option agree";
}

TEST_F(ModuleTcp, ByteStringsOf48And49BytesBothWays) {
    for (size_t n : {48u, 49u}) {
        SCOPED_TRACE(n);
        Bytes name(n);
        for (size_t i = 0; i < n; ++i)
            name[i] = uint8_t(0xA0 + i);
        vm.network.clearRequests();
        ASSERT_EQ(system.setName(name.data(), name.size()), aErrNone);
        auto sent = requests();
        ASSERT_EQ(sent.size(), n == 48 ? 2u : 3u);
        const Bytes sequences = n == 48 ? Bytes{0x80, 0x01} : Bytes{0x80, 0x81, 0x02};
        for (size_t p = 0; p < sent.size(); ++p) {
            EXPECT_EQ(Bytes(sent[p].begin(), sent[p].begin() + 3), (Bytes{3, 0xA0, 0x20}));
            EXPECT_EQ(sent[p].back(), sequences[p]);
            EXPECT_EQ(sent[p].size(), p < 2 ? 28u : 5u);
        }
        EXPECT_EQ(device().bytes(3, 0, 32), name);

        uint8_t back[64] = {};
        size_t received = 0;
        ASSERT_EQ(system.getName(back, sizeof back, &received), aErrNone);
        EXPECT_EQ(Bytes(back, back + received), name);
    }
}

TEST_F(ModuleTcp, ByteStringCapacityOverflowThenAFullRead) {
    Bytes name(40, 0x5A);
    name[30] = 0x11;
    device().setBytes(3, 0, 32, name);
    uint8_t small[10];
    size_t received = 99;
    EXPECT_EQ(system.getName(small, sizeof small, &received), aErrMemory);
    EXPECT_EQ(received, 0u) << "the first packet already did not fit";

    // The rest of the cut transfer must not be taken for the next one.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto& b : name)
        b = static_cast<uint8_t>(b + 1);
    device().setBytes(3, 0, 32, name);
    uint8_t big[64];
    ASSERT_EQ(system.getName(big, sizeof big, &received), aErrNone);
    EXPECT_EQ(Bytes(big, big + received), name);

    EXPECT_EQ(system.getName(nullptr, 10, &received), aErrParam);
    EXPECT_EQ(system.getName(big, 0, &received), aErrParam);

    // Words of the power behaviour travel in this host's byte order.
    const uint32_t words[3] = {0x11223344, 7, 0xFFFFFFFF};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 3), aErrNone);
    uint32_t got[8] = {};
    size_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(got, 8, &count), aErrNone);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(memcmp(got, words, sizeof words), 0);
    device().setBytes(3, 0, 31, {1, 2, 3, 4, 5});
    EXPECT_EQ(system.getInputPowerBehaviorConfig(got, 8, &count), aErrNone);
    EXPECT_EQ(count, 5u) << "not a multiple of four: the byte count";
}

TEST_F(ModuleTcp, ModuleInformationQueriesAndEcho) {
    uint32_t build = 0;
    EXPECT_EQ(module.getBuild(&build), aErrNone);
    EXPECT_EQ(build, 4711u);
    EXPECT_EQ(requests().back(), (Bytes{73, 0xFF}));

    EXPECT_EQ(module.hasUEI(3, 8, 0, 0x40), aErrNone);
    EXPECT_EQ(requests().back(), (Bytes{73, 1, 3, 8, 0, 0x40}));
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0x80), aErrInvalidOption) << "the model cannot be set";
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0xC0), aErrParam);
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0x01), aErrParam);

    uint8_t n = 0;
    EXPECT_EQ(module.classQuantity(vmod::kAnalogCommand, &n), aErrNone);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(module.subClassQuantity(vmod::kAnalogCommand, 0, &n), aErrNone);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(module.entityGroup(vmod::kAnalogCommand, 1, &n), aErrNone);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(requests().back(), (Bytes{73, 6, vmod::kAnalogCommand, 1}));

    device().failOption(73, 4, aErrBusy); // an error reply has another form
    n = 9;
    EXPECT_EQ(module.classQuantity(3, &n), aErrUnknown);
    EXPECT_EQ(n, 0);

    const uint8_t echo[27] = {1, 2, 3, 0, 255, 23};
    EXPECT_EQ(module.debug(echo, sizeof echo), aErrNone);
    EXPECT_EQ(module.debug(echo, 28), aErrParam);
}

TEST_F(ModuleTcp, RawPacketsAndLinkChecks) {
    Link* link = module.getLink();
    uint8_t data[28] = {};
    EXPECT_EQ(link->sendPacket(4, 23, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(3, 23, 1, data), aErrPacket);
    EXPECT_EQ(link->connect(), aErrConnection) << "a link is held already";
    EXPECT_EQ(link->setConfig(sharingOff()), aErrMode);
    EXPECT_EQ(module.connectFromSpec(vm.spec()), aErrBusy);

    // receiveUEI decodes by length.
    uei reply{};
    vm.link.sendPacket(4, {3, 8, 0, 0x0D});
    ASSERT_EQ(link->receiveUEI(4, 3, 8, 0, &reply), aErrNone);
    EXPECT_EQ(reply.type, ueiTypeByte);
    EXPECT_EQ(reply.v.byteVal, 13);
    vm.link.sendPacket(4, {3, 8, 0, 0, 0, 0, 0x0D});
    ASSERT_EQ(link->receiveUEI(4, 3, 8, 0, &reply), aErrNone);
    EXPECT_EQ(reply.type, ueiTypeInt);
    EXPECT_EQ(reply.v.intVal, 13u);
    vm.link.sendPacket(4, {3, 8, 0x80, 0x1D});
    uint8_t model = 0;
    EXPECT_EQ(system.awaitUEI32Val(8, reinterpret_cast<uint32_t*>(data)), aErrInvalidOption);
    EXPECT_EQ(link->receiveUEI(4, 3, 8, 0, &reply), aErrTimeout);

    // Late replies stay until drained.
    vm.link.sendPacket(4, {3, 8, 0, 0x55});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(system.drainUEI(8), aErrNone);
    EXPECT_EQ(system.getModel(&model), aErrNone);
    EXPECT_EQ(model, 13) << "the stale 0x55 was drained";

    const uint8_t match[2] = {23, 9};
    uint8_t length = 2;
    uint8_t buffer[28];
    vm.link.sendPacket(6, {23, 9, 8, 7}); // the address is not compared
    ASSERT_EQ(link->receivePacket(4, match, &length, buffer), aErrNone);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{23, 9, 8, 7}));
}

TEST_F(ModuleTcp, I2CTransfersAndLimits) {
    I2CClass i2c;
    ASSERT_EQ(i2c.init(&module, 0), aErrNone);
    uint8_t bytes[24] = {};
    EXPECT_EQ(i2c.write(0x10, 24, bytes), aErrSize);
    EXPECT_EQ(i2c.setSpeed(4), aErrParam);
    ASSERT_EQ(i2c.setSpeed(2), aErrNone);
    vm.network.clearRequests();
    EXPECT_EQ(i2c.write(0x10, 2, bytes), aErrNotFound) << "nobody listens on a standalone module's bus";
    EXPECT_EQ(requests().back(), (Bytes{8, 0, 0x10, 2, 2, 0, 0}));
    EXPECT_EQ(i2c.setPullup(true), aErrNone);
    EXPECT_TRUE(device().pullup());
    EXPECT_EQ(device().i2cSpeed(), 2);
}

TEST_F(ModuleTcp, PacketLogRecordsTheTraffic) {
    TempDir dir;
    const std::string path = dir.file("packets.log");
    ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
    uint8_t model = 0;
    ASSERT_EQ(system.getModel(&model), aErrNone);
    const std::string reply = "6 < 0x4 0x4 0x3 0x8 0x0 0xD \r\n";
    EXPECT_TRUE(eventually([&] { return readFile(path).find(reply) != std::string::npos; }));
    EXPECT_EQ(module.disablePacketLog(), aErrNone);
    const std::string log = readFile(path);
    EXPECT_EQ(log.compare(0, 12, std::string("6 < START\0\r\n", 12)), 0) << log;
    EXPECT_NE(log.find("5 > 0x4 0x3 0x3 0x48 0x20 \r\n"), std::string::npos) << log;

    // After a reconnect the log follows the new engine link, not the one that went.
    ASSERT_EQ(module.disconnect(), aErrNone);
    ASSERT_EQ(module.reconnect(), aErrNone);
    ASSERT_EQ(module.enablePacketLog(path.c_str()), aErrNone);
    ASSERT_EQ(system.getModel(&model), aErrNone);
    auto replies = [&] {
        const std::string text = readFile(path);
        size_t n = 0;
        for (size_t at = text.find(reply); at != std::string::npos; at = text.find(reply, at + 1))
            ++n;
        return n;
    };
    EXPECT_TRUE(eventually([&] { return replies() == 2; }));
    EXPECT_EQ(module.disablePacketLog(), aErrNone);

    Module unconnected(2);
    EXPECT_EQ(unconnected.enablePacketLog(path.c_str()), aErrConfiguration);
    EXPECT_EQ(unconnected.disablePacketLog(), aErrConfiguration);
}

TEST(ModuleNetworking, LearnsTheAddressOnlyInNetworkingMode) {
    VirtualTcpModule vm(6, kSerial);
    Module learning(2);
    ASSERT_EQ(learning.setConfig(sharingOff()), aErrNone);
    ASSERT_EQ(learning.connectFromSpec(vm.spec()), aErrNone);
    EXPECT_EQ(learning.getModuleAddress(), 6);
    SystemClass sys;
    ASSERT_EQ(sys.init(&learning, 0), aErrNone);
    uint8_t address = 0;
    EXPECT_EQ(sys.getModule(&address), aErrNone);
    EXPECT_EQ(address, 6);
    EXPECT_EQ(learning.disconnect(), aErrNone);
    EXPECT_FALSE(learning.isConnected());
    EXPECT_EQ(learning.getStatus(), linkStatusError);
    EXPECT_EQ(learning.reconnect(), aErrNone);

    Module fixed(2, false, 0);
    ASSERT_EQ(fixed.setConfig(sharingOff()), aErrNone);
    ASSERT_EQ(fixed.connectFromSpec(vm.spec()), aErrNone);
    EXPECT_EQ(fixed.getModuleAddress(), 2);

    Module other(2);
    EXPECT_EQ(other.connect(TCPIP, 0), aErrParam);
    EXPECT_EQ(other.getLink()->getStatus(), linkStatusError) << "the link was not touched";
}

} // namespace
