// The USB stream through the real libusb, against the virtual module on a umockdev-emulated
// bus. Runs under umockdev-wrapper; skipped (77) only when the preload is missing.
#include "LinkBytes.h"
#include "UsbTestBus.h"
#include "UsbTransport.h"
#include "VirtualModule.h"
#include "aStream.h"
#include "kvusb_driver.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>

namespace {

constexpr uint8_t kAddress = kUsbModuleAddress;
constexpr uint32_t kSerial = kUsbModuleSerial;

vmod::Config moduleConfig(uint32_t serial = kSerial) { return usbModuleConfig(serial); }
typedef LibusbContextReset ContextReset;

class USBStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(usb.counters().claimed);
    }
    void TearDown() override {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }
    void expectSync() {
        const uint8_t query[2] = {0xAD, 0};
        ASSERT_EQ(aStream_Write(stream, query, 2), aErrNone);
        std::vector<uint8_t> reply;
        ASSERT_EQ(readFor(stream, reply, 2, 3000), aErrNone);
        EXPECT_EQ(reply, (std::vector<uint8_t>{kAddress, 0}));
    }
    // Reads one byte with a sentinel in place; the byte is left alone unless one arrived.
    aErr readOne(uint8_t& byte) {
        byte = 0xA5;
        return aStream_Read(stream, &byte, 1);
    }

    vmod::UsbBus bus;
    vmod::Module module{moduleConfig()};
    vmod::UsbTransport usb{bus, module};
    ContextReset context;
    aStreamRef stream = nullptr;
};

TEST_F(USBStream, EveryByteValueBothWaysInFiftyByteChunks) {
    expectSync();
    std::vector<uint8_t> wire = echoFramesOfAllValues(kAddress);
    uint64_t outBefore = usb.counters().outTransfers;
    ASSERT_EQ(aStream_Write(stream, wire.data(), wire.size()), aErrNone);
    EXPECT_EQ(usb.counters().outTransfers - outBefore, (wire.size() + 49) / 50);
    std::vector<uint8_t> back;
    ASSERT_EQ(readFor(stream, back, wire.size(), 3000), aErrNone);
    EXPECT_EQ(back, wire);

    // 120 bytes go out as 50, 50 and 20.
    std::vector<uint8_t> four(120);
    for (size_t i = 0; i < 4; i++) {
        four[30 * i] = kAddress;
        four[30 * i + 1] = 28;
        four[30 * i + 2] = 23;
    }
    outBefore = usb.counters().outTransfers;
    ASSERT_EQ(aStream_Write(stream, four.data(), four.size()), aErrNone);
    EXPECT_EQ(usb.counters().outTransfers - outBefore, 3u);
    ASSERT_EQ(readFor(stream, back, 120, 3000), aErrNone);
    EXPECT_EQ(back, four);
}

TEST_F(USBStream, SilentModuleTimesOutWithNotReady) {
    module.setSilent(true);
    uint8_t byte;
    EXPECT_EQ(readOne(byte), aErrNotReady);
    EXPECT_EQ(byte, 0xA5);
    EXPECT_GE(usb.counters().discarded, 1u) << "the IN transfer ended by the host's time-out";
    module.setSilent(false);
    expectSync();
}

// Mended: an I/O error that the tolerance absorbs is reported as aErrNotReady and delivers no
// byte. Any other result resets the count; the fifth error in a row is reported and sticks.
TEST_F(USBStream, AbsorbedReadErrorsAndTheFifth) {
    uint8_t byte;
    usb.failTransfers(vmod::Endpoint::In, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(readOne(byte), aErrNotReady) << i;
        EXPECT_EQ(byte, 0xA5) << "no stale byte for an absorbed error";
    }
    module.sendPacket(kAddress, {23, 7}); // a healthy read in between resets the count
    std::vector<uint8_t> got;
    ASSERT_EQ(readFor(stream, got, 4, 3000), aErrNone);
    EXPECT_EQ(got, (std::vector<uint8_t>{kAddress, 2, 23, 7}));

    usb.failTransfers(vmod::Endpoint::In, 5);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(readOne(byte), aErrNotReady) << i;
    EXPECT_EQ(readOne(byte), aErrIO) << "the fifth in a row";
    EXPECT_EQ(byte, 0xA5);

    // Failed for good, however healthy the module is, until the stream is made anew.
    module.sendPacket(kAddress, {23, 8});
    EXPECT_EQ(readOne(byte), aErrIO);
    const uint8_t query[2] = {0xAD, 0};
    EXPECT_EQ(aStream_Write(stream, query, 2), aErrIO);
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    ASSERT_EQ(aStream_CreateUSB(kSerial, &stream), aErrNone);
    expectSync();
}

TEST_F(USBStream, AbsorbedWriteErrorsAndTheFifth) {
    // One failed chunk and its failed retry: the next pass sends it, once.
    usb.failTransfers(vmod::Endpoint::Out, 2);
    expectSync();
    EXPECT_EQ(module.stats().syncQueries, 1u);

    usb.failTransfers(vmod::Endpoint::Out, 1000000);
    const uint8_t query[2] = {0xAD, 0};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(aStream_Write(stream, query, 2), aErrNone) << i;
    EXPECT_EQ(aStream_Write(stream, query, 2), aErrIO);
    usb.failTransfers(vmod::Endpoint::Out, 0);
    EXPECT_EQ(aStream_Write(stream, query, 2), aErrIO) << "failed until re-created";
    EXPECT_EQ(module.stats().syncQueries, 1u);
}

TEST_F(USBStream, StalledEndpointsAreClearedAndRetried) {
    usb.stall(vmod::Endpoint::In);
    uint8_t byte;
    EXPECT_EQ(readOne(byte), aErrNotReady);
    EXPECT_EQ(usb.counters().clearHalts, 1u);

    usb.stall(vmod::Endpoint::Out);
    expectSync(); // the stalled write is cleared and sent again; the reply is read normally
    EXPECT_EQ(usb.counters().clearHalts, 2u);
    EXPECT_EQ(module.stats().syncQueries, 1u);
}

TEST_F(USBStream, CloseReleasesTheInterface) {
    EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
    EXPECT_EQ(stream, nullptr);
    EXPECT_FALSE(usb.counters().claimed);
}

TEST(USBStreamIdentity, OnlyTheExactSerialTextAndTheLinkInterfaceMatch) {
    vmod::UsbBus bus;
    vmod::Module other(moduleConfig(0x11111111));
    vmod::Module lower(moduleConfig(0x0000ABCD));
    vmod::Module wrongInterface(moduleConfig(0x22222222));
    vmod::Module wanted(moduleConfig(kSerial));
    vmod::UsbOptions lowerOptions;
    lowerOptions.serialText = "0000abcd";
    vmod::UsbOptions vendorClass;
    vendorClass.interfaceSubClass = 0x87;
    vmod::UsbTransport a(bus, other);
    vmod::UsbTransport b(bus, lower, lowerOptions);
    vmod::UsbTransport c(bus, wrongInterface, vendorClass);
    vmod::UsbTransport d(bus, wanted);
    ContextReset context;

    aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0x33333333, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateUSB(0x0000ABCD, &s), aErrNotFound) << "lower-case digits do not match";
    EXPECT_EQ(aStream_CreateUSB(0x22222222, &s), aErrConfiguration);
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    EXPECT_TRUE(d.counters().claimed);
    EXPECT_FALSE(a.counters().claimed);
    EXPECT_FALSE(c.counters().claimed);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

} // namespace

int main(int argc, char** argv) { return runUsbTests(argc, argv); }
