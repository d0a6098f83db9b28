// USB transport of aStream over the device layer of kvusb_driver.
#include "aStream.h"
#include "kvusb_driver.h"

#include <cstdio>
#include <new>

namespace {

constexpr uint16_t sUSBCheck = 0xDEAD;

struct USBStreamRecord {
    uint16_t check;
    uint32_t serialNumber;
    char serial[12];
    kvusb_device* device;
};

bool aVALIDUSBSTREAM(const USBStreamRecord* r) { return r != nullptr && r->check == sUSBCheck; }

aErr sUSBGet(uint8_t* byte, void* ref) {
    USBStreamRecord* r = static_cast<USBStreamRecord*>(ref);
    if (!aVALIDUSBSTREAM(r))
        return aErrParam;
    return kvusb_get_from_device(r->device, byte);
}

aErr sUSBWrite(const uint8_t* bytes, size_t count, void* ref) {
    USBStreamRecord* r = static_cast<USBStreamRecord*>(ref);
    if (!aVALIDUSBSTREAM(r))
        return aErrParam;
    return kvusb_write_to_device(r->device, bytes, count);
}

aErr sUSBPut(uint8_t byte, void* ref) { return sUSBWrite(&byte, 1, ref); }

aErr sUSBDelete(void* ref) {
    USBStreamRecord* r = static_cast<USBStreamRecord*>(ref);
    if (!aVALIDUSBSTREAM(r))
        return aErrParam;
    aErr closed = kvusb_close_korvel_device(r->device);
    if (closed != aErrNone)
        return closed;
    (void)kvusb_destroy(&r->device);
    r->check = 0;
    delete r;
    return aErrNone;
}

} // namespace

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
    bool kernel = kvusb_is_kernel_driver_installed(serialNumber);
    if (stream == nullptr || serialNumber == 0)
        return aErrParam;
    *stream = nullptr;
    USBStreamRecord* r = new (std::nothrow) USBStreamRecord{};
    if (r == nullptr)
        return aErrMemory;
    r->serialNumber = serialNumber;
    snprintf(r->serial, sizeof r->serial, "%08X", serialNumber);
    r->check = sUSBCheck;
    r->device = kvusb_create_usb(kernel ? kvusb_modeKernel : kvusb_modeLibusb);
    if (r->device == nullptr) {
        delete r;
        return aErrResource;
    }
    aErr opened = kvusb_open_korvel_device(r->device, r->serial);
    if (opened != aErrNone) {
        (void)kvusb_destroy(&r->device);
        delete r;
        return opened;
    }
    aStreamRef s = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, r);
    if (s == nullptr) {
        (void)kvusb_close_korvel_device(r->device);
        (void)kvusb_destroy(&r->device);
        delete r;
        return aErrMemory;
    }
    *stream = s;
    return aErrNone;
}
