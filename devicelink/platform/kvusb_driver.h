// USB device layer: one open module, through libusb or through the kernel driver's node.
//
// A module is a USB device with the family's vendor ID, a product ID below 0x8000, a link
// interface of class 0xFF / subclass 0x88 / protocol 0x10 whose bulk (or interrupt) endpoints
// carry the link bytes, and a serial-number string equal to its serial number as "%08X".
// When the family's kernel driver is installed it exposes each module as the node
// <prefix>%08X; the node path decides which path a stream takes.
//
// Threads: one thread may read while another writes (different endpoints). The state and the
// consecutive-error count are shared by both directions.
//
// libusb-path error tolerance: an aErrIO from a read or write increments the consecutive error
// count; the first four in a row are absorbed (a write reports aErrNone, a read aErrNotReady,
// never a byte it did not receive); the fifth is reported as aErrIO and puts the device into
// the failed state, where every read and write gives aErrIO until it is opened anew. Any other
// result resets the count. The kernel-driver path has no tolerance.
#ifndef KORVEL_KVUSB_DRIVER_H
#define KORVEL_KVUSB_DRIVER_H

#include "aError.h"

#include <cstddef>
#include <cstdint>

#ifndef KORVEL_USB_VENDOR_ID
#define KORVEL_USB_VENDOR_ID 0x1209
#endif

constexpr uint16_t kvusb_VENDOR_ID = KORVEL_USB_VENDOR_ID;
constexpr uint8_t kvusb_INTERFACE_CLASS = 0xFF;
constexpr uint8_t kvusb_INTERFACE_SUBCLASS = 0x88;
constexpr uint8_t kvusb_INTERFACE_PROTOCOL = 0x10;

constexpr uint32_t kvusb_READ_TIMEOUT_MS = 1000;
constexpr uint32_t kvusb_WRITE_TIMEOUT_MS = 50;
constexpr size_t kvusb_READ_BUFFER = 800;
constexpr size_t kvusb_WRITE_CHUNK = 50;
constexpr uint32_t kvusb_WRITE_PASSES = 100;

// Default node path prefix; the environment variable KORVEL_NODE_PREFIX replaces it (tests
// point it at a temporary folder).
#define kvusb_DEFAULT_NODE_PREFIX "/dev/korvel."
#define kvusb_NODE_PREFIX_VARIABLE "KORVEL_NODE_PREFIX"

enum kvusb_mode : int { kvusb_modeKernel = 0, kvusb_modeLibusb = 1 };

enum kvusb_state : uint32_t {
    kvusb_stateNone = 0,
    kvusb_stateCreated = 1,
    kvusb_stateClosed = 2,
    kvusb_stateOpened = 3, // handle held, interface not yet claimed
    kvusb_stateReady = 4,
    kvusb_stateFailed = 5, // too many consecutive I/O errors
};

struct kvusb_device;

// The node path prefix in force (the variable's value, or the default). Never null.
const char* kvusb_node_prefix();

// Writes <prefix>%08X into path (size bytes). aErrParam: null path; aErrOverrun: too long.
aErr kvusb_node_path(uint32_t serialNumber, char* path, size_t size);

// True when the node for the serial number exists.
bool kvusb_is_kernel_driver_installed(uint32_t serialNumber);

// New record in state 1 (null when memory is short or the mode is unknown). A libusb-mode
// record creates the process-wide libusb context when there is none.
kvusb_device* kvusb_create_usb(int mode);

// Closes a handle or node still held, frees the record, clears *device. aErrParam: no record.
aErr kvusb_destroy(kvusb_device** device);

// Opens the module whose serial text (8 upper-case hex digits) is given, by the record's mode.
// libusb: aErrNotFound (no such module), aErrConfiguration (no link interface or endpoints),
// aErrBusy (claimed elsewhere or gone), aErrPermission, aErrUnknown; aErrResource without a
// libusb context. Kernel driver: aErrBusy (EBUSY), aErrIO (any other failure).
// aErrMode: the called function does not match the record's mode; aErrParam: null arguments.
aErr kvusb_open_korvel_device(kvusb_device* device, const char* serial);
aErr kvusb_open_korvel_USBlib_device(kvusb_device* device, const char* serial);
aErr kvusb_open_korvel_kernel_device(kvusb_device* device, const char* serial);

// One byte from the module. aErrNotReady: nothing arrived (libusb: within 1000 ms; a stalled
// IN endpoint is cleared and also reads as aErrNotReady). aErrConnection: closed.
// aErrIO: a persistent failure (see the tolerance above).
aErr kvusb_get_from_device(kvusb_device* device, uint8_t* byte);
aErr kvusb_get_from_USBlib_device(kvusb_device* device, uint8_t* byte);
aErr kvusb_get_from_kernel_device(kvusb_device* device, uint8_t* byte);

// Writes the bytes (libusb: chunks of at most 50 bytes, 50 ms each, at most 100 passes; a
// stalled OUT endpoint is cleared and the chunk re-sent). aErrWrite: bytes left after the last
// pass. aErrConnection: closed. aErrIO: see the tolerance above.
aErr kvusb_write_to_device(kvusb_device* device, const uint8_t* bytes, size_t count);
aErr kvusb_write_to_USBlib_device(kvusb_device* device, const uint8_t* bytes, size_t count);
aErr kvusb_write_to_kernel_device(kvusb_device* device, const uint8_t* bytes, size_t count);

// Releases the interface and closes the handle (state 2), or closes the node.
// aErrMode: wrong mode, or (libusb) no handle. Kernel driver: aErrCancel when close fails.
aErr kvusb_close_korvel_device(kvusb_device* device);
aErr kvusb_close_korvel_USBlib_device(kvusb_device* device);
aErr kvusb_close_korvel_kernel_device(kvusb_device* device);

struct libusb_device;

// True when the device's descriptor can be read, its vendor ID is the family's and bit 15 of
// its product ID is clear (USB discovery uses the same test as the open).
bool is_korvel_device(libusb_device* device);

// The record's state (kvusb_stateNone for null), for diagnostics and tests.
uint32_t kvusb_get_state(const kvusb_device* device);

#endif
