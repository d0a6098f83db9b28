// The virtual module as a USB device on a bus emulated by umockdev.
//
// UsbBus is one emulated bus (a umockdev testbed: /sys, /dev and /run/udev redirected into a
// temporary folder for every process that runs with the umockdev preload and inherits
// UMOCKDEV_DIR). UsbTransport puts one module on it: device and configuration descriptors with
// the vendor-specific link interface (class 0xFF, subclass 0x88, protocol 0x10), bulk endpoints
// 0x01 (OUT) and 0x81 (IN), and the serial-number string; the usbfs requests of the host's USB
// library are answered by this object.
//
// Order matters for a host in the same process: make the bus and its devices before the host's
// USB library is initialised (it enumerates once, at init).
//
// Threads: umockdev answers the requests on its own worker thread; every public function may be
// called from any thread.
#ifndef KORVEL_VM_USB_TRANSPORT_H
#define KORVEL_VM_USB_TRANSPORT_H

#include "VirtualModule.h"

#include <cstdint>
#include <memory>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace vmod {

class UsbBus {
public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // True when this process runs with the umockdev preload (a host in it can use the bus).
    static bool preloadActive();

    UMockdevTestbed* testbed() const { return testbed_; }
    std::string rootDir() const; // the testbed folder (UMOCKDEV_DIR)
    uint8_t takeDeviceNumber() { return nextDevnum_++; }

private:
    UMockdevTestbed* testbed_;
    uint8_t nextDevnum_ = 2;
};

struct UsbOptions {
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x0001;
    std::string serialText;          // "" means the module's serial number as "%08X"
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
};

enum class Endpoint { In, Out };

struct UsbCounters {
    uint64_t inTransfers = 0;   // IN URBs completed (any status)
    uint64_t outTransfers = 0;  // OUT URBs completed (any status)
    uint64_t clearHalts = 0;
    uint64_t discarded = 0;     // URBs the host cancelled (its time-outs)
    uint64_t reaps = 0;         // reap requests answered, empty ones included
    bool claimed = false;
};

class UsbTransport {
public:
    // Throws std::runtime_error when the device cannot be added to the bus.
    UsbTransport(UsbBus& bus, Module& module, UsbOptions options = {});
    ~UsbTransport();
    UsbTransport(const UsbTransport&) = delete;
    UsbTransport& operator=(const UsbTransport&) = delete;

    std::string devnode() const; // /dev/bus/usb/001/NNN as the host sees it

    // Faults.
    // stall: the endpoint answers every transfer with a stall until the host clears the halt.
    void stall(Endpoint endpoint);
    // failTransfers: the next `count` transfers on the endpoint end with a protocol error.
    void failTransfers(Endpoint endpoint, unsigned count);
    // disconnect: the device behaves as unplugged (every request fails); reconnect undoes it.
    void disconnect();
    void reconnect();

    UsbCounters counters() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace vmod

#endif
