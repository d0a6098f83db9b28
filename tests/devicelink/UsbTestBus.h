// Shared pieces of the tests that run the real libusb against the virtual module on an
// emulated bus.
#ifndef KORVEL_TEST_USBTESTBUS_H
#define KORVEL_TEST_USBTESTBUS_H

#include "Korvel-C.h"
#include "UsbTransport.h"
#include "VirtualModule.h"

#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>

constexpr uint8_t kUsbModuleAddress = 4;
constexpr uint32_t kUsbModuleSerial = 0x40F5849A;

// A quiet module (no heartbeats of its own) at kUsbModuleAddress.
inline vmod::Config usbModuleConfig(uint32_t serial = kUsbModuleSerial) {
    vmod::Config c;
    c.address = kUsbModuleAddress;
    c.serialNumber = serial;
    c.heartbeatMs = 0;
    return c;
}

// The shared libusb context enumerates once, at init: each test gets a fresh bus and lets the
// context go at its end, after its streams and links and before its bus (declare it after the
// bus and the devices).
struct LibusbContextReset {
    ~LibusbContextReset() { Korvel_libusb_exit(); }
};

// main() of such a test: skipped (77) only when the umockdev preload is missing.
inline int runUsbTests(int argc, char** argv) {
    if (!vmod::UsbBus::preloadActive()) {
        fprintf(stderr, "umockdev preload missing: run under umockdev-wrapper\n");
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#endif
