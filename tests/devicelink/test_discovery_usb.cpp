// USB module discovery through the real libusb, against virtual modules on a umockdev-emulated
// bus. Runs under umockdev-wrapper; skipped (77) only when the preload is missing.
#include "DiscoveryTestSupport.h"
#include "Korvel-C.h"
#include "UsbTransport.h"
#include "VirtualModule.h"
#include "discover.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <vector>

namespace {

using namespace discoverytest;

// One bus per test with the modules below; the shared libusb context enumerates once, at init,
// so it is let go at the end of each test, before the bus goes.
class UsbDiscovery : public ::testing::Test {
protected:
    ~UsbDiscovery() override {
        Korvel_libusb_exit();
        transports.clear();
    }
    void add(uint32_t serial, vmod::UsbOptions options) {
        vmod::Config config;
        config.serialNumber = serial;
        modules.push_back(std::make_unique<vmod::Module>(config));
        transports.push_back(std::make_unique<vmod::UsbTransport>(bus, *modules.back(), options));
    }
    static vmod::UsbOptions product(uint16_t productId, std::string serialText = "",
                                    uint16_t vendorId = 0x1209) {
        vmod::UsbOptions options;
        options.productId = productId;
        options.serialText = std::move(serialText);
        options.vendorId = vendorId;
        return options;
    }

    vmod::UsbBus bus;
    std::vector<std::unique_ptr<vmod::Module>> modules;
    std::vector<std::unique_ptr<vmod::UsbTransport>> transports;
};

TEST_F(UsbDiscovery, ReportsOnlyFamilyModulesWithAnEightDigitSerial) {
    add(0x40F5849A, product(0x0005));
    add(0x1234ABCD, product(0x0113));
    add(0x01234567, product(0x0005, "1234567"));     // 7 characters
    add(0x12345678, product(0x0005, "123456789"));   // 9 characters
    add(0x0000BEEF, product(0x8005));                // product ID with bit 15 set
    add(0x0000CAFE, product(0x0005, "", 0x1234));    // another vendor
    add(0x0000F00D, product(0x0005, "GHIJKLMN"));    // 8 characters, not hexadecimal

    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &collected, 0), 2);
    std::map<uint32_t, linkSpec> bySerial;
    for (const linkSpec& spec : collected.specs)
        bySerial[spec.serialNumber] = spec;
    ASSERT_EQ(bySerial.size(), 2u);
    ASSERT_EQ(collected.specs.size(), 2u);
    for (auto [serial, model] : {std::pair{0x40F5849Au, 0x05u}, std::pair{0x1234ABCDu, 0x13u}}) {
        ASSERT_TRUE(bySerial.count(serial)) << std::hex << serial;
        const linkSpec& spec = bySerial[serial];
        EXPECT_EQ(spec.type, USB);
        EXPECT_EQ(spec.module, 0u);
        EXPECT_EQ(spec.router, 0u);
        EXPECT_EQ(spec.routerSerialNumber, 0u);
        EXPECT_EQ(spec.model, model); // low 8 bits of the product ID
        EXPECT_EQ(spec.usbSerialNumber, serial);
        for (size_t i = 4; i < sizeof spec.transport; ++i)
            EXPECT_EQ(spec.transport[i], 0) << i;
    }
    // Enumeration neither claims nor keeps a device.
    for (const auto& usb : transports)
        EXPECT_FALSE(usb->counters().claimed);

    // Specifiers the callback does not take are not counted.
    Collected declined;
    declined.take = false;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &declined, 0), 0);
    EXPECT_EQ(declined.specs.size(), 2u);
}

TEST_F(UsbDiscovery, CallbackEndsTheEnumeration) {
    add(0x00000011, product(0x0001));
    add(0x00000022, product(0x0001));
    add(0x00000033, product(0x0001));
    Collected collected;
    collected.stopAtFirst = true;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &collected, 0), 1);
    EXPECT_EQ(collected.specs.size(), 1u);
}

TEST_F(UsbDiscovery, FindModuleAndFindFirstModule) {
    add(0x00000000, product(0x0004));
    add(0x0BADCAFE, product(0x0004));
    add(0x40F5849A, product(0x0017));

    linkSpec* spec = aDiscovery_FindModule(USB, 0x40F5849A, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, USB);
    EXPECT_EQ(spec->model, 0x17u);
    EXPECT_EQ(spec->usbSerialNumber, 0x40F5849Au);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x12341234, 0), nullptr);

    spec = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_NE(spec->serialNumber, 0u); // the module with serial number 0 is passed over
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
}

TEST_F(UsbDiscovery, EmptyBusFindsNothing) {
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &collected, 0), 0);
    EXPECT_TRUE(collected.specs.empty());
    EXPECT_EQ(aDiscovery_FindFirstModule(USB, 0), nullptr);
}

} // namespace

int main(int argc, char** argv) {
    if (!vmod::UsbBus::preloadActive()) {
        printf("skipped: not running under umockdev-wrapper\n");
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
