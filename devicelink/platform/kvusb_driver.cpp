#include "kvusb_driver.h"

#include "Korvel-C.h"
#include "aDebugging.h"
#include "unix_descriptor.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libusb.h>
#include <new>
#include <poll.h>
#include <unistd.h>

struct kvusb_device {
    int mode;
    char serial[52];
    int fd; // kernel-driver node; 0 when none
    libusb_device_handle* handle;
    // Written by the reading and the writing thread alike.
    std::atomic<uint32_t> state;
    std::atomic<uint8_t> errorCount;
    uint8_t interfaceNumber;
    uint8_t writeEndpoint;
    uint8_t readEndpoint;
    // One bulk IN transfer, handed out byte by byte (reading thread only).
    uint8_t received[kvusb_READ_BUFFER];
    uint32_t waiting;
    uint32_t position;
};

namespace {

constexpr int sNodeWaitMs = 100;

bool sIsKorvelDevice(libusb_device* dev) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(dev, &desc) != LIBUSB_SUCCESS)
        return false;
    return desc.idVendor == kvusb_VENDOR_ID && (desc.idProduct & 0x8000) == 0;
}

// Endpoints of the link interface; a later matching endpoint replaces an earlier one.
int sFindEndpoints(kvusb_device* d) {
    libusb_device* dev = libusb_get_device(d->handle);
    libusb_device_descriptor desc;
    int rc = libusb_get_device_descriptor(dev, &desc);
    if (rc != LIBUSB_SUCCESS)
        return rc;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS || config == nullptr)
        return LIBUSB_ERROR_NO_DEVICE;
    bool haveRead = false, haveWrite = false;
    for (uint8_t i = 0; i < config->bNumInterfaces; i++) {
        const libusb_interface& intf = config->interface[i];
        for (int a = 0; a < intf.num_altsetting; a++) {
            const libusb_interface_descriptor& alt = intf.altsetting[a];
            if (alt.bInterfaceClass != kvusb_INTERFACE_CLASS ||
                alt.bInterfaceSubClass != kvusb_INTERFACE_SUBCLASS ||
                alt.bInterfaceProtocol != kvusb_INTERFACE_PROTOCOL)
                continue;
            d->interfaceNumber = alt.bInterfaceNumber;
            for (uint8_t e = 0; e < alt.bNumEndpoints; e++) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & 0x02) == 0)
                    continue;
                if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                    d->readEndpoint = ep.bEndpointAddress;
                    haveRead = true;
                } else {
                    d->writeEndpoint = ep.bEndpointAddress;
                    haveWrite = true;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    return haveRead && haveWrite ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

// What the device state allows a transfer: aErrNone only when ready.
aErr sStateResult(const kvusb_device* d, const char* direction) {
    uint32_t state = d->state.load();
    if (state == kvusb_stateReady)
        return aErrNone;
    if (state == kvusb_stateClosed)
        return aErrConnection;
    if (state == kvusb_stateCreated || state == kvusb_stateOpened)
        return aErrNotReady;
    aTRACE(aDEBUG_USB, "libusb %s error dev state: %d", direction, static_cast<int>(state));
    return aErrIO;
}

// Applies the consecutive-error rule to a libusb-path result.
aErr sHandleErrorTolerance(kvusb_device* d, aErr result) {
    if (result != aErrIO) {
        d->errorCount.store(0);
        return result;
    }
    uint8_t before = d->errorCount.fetch_add(1);
    if (before <= 3)
        return aErrNone;
    d->state.store(kvusb_stateFailed);
    return aErrIO;
}

} // namespace

const char* kvusb_node_prefix() {
    const char* prefix = getenv(kvusb_NODE_PREFIX_VARIABLE);
    return prefix != nullptr && prefix[0] != '\0' ? prefix : kvusb_DEFAULT_NODE_PREFIX;
}

aErr kvusb_node_path(uint32_t serialNumber, char* path, size_t size) {
    if (path == nullptr || size == 0)
        return aErrParam;
    int n = snprintf(path, size, "%s%08X", kvusb_node_prefix(), serialNumber);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        path[0] = '\0';
        return aErrOverrun;
    }
    return aErrNone;
}

bool kvusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[4096];
    if (kvusb_node_path(serialNumber, path, sizeof path) != aErrNone)
        return false;
    return access(path, F_OK) == 0;
}

kvusb_device* kvusb_create_usb(int mode) {
    if (mode != kvusb_modeKernel && mode != kvusb_modeLibusb)
        return nullptr;
    kvusb_device* d = new (std::nothrow) kvusb_device{};
    if (d == nullptr)
        return nullptr;
    d->mode = mode;
    d->state.store(kvusb_stateCreated);
    if (mode == kvusb_modeLibusb)
        Korvel_libusb_init();
    return d;
}

aErr kvusb_destroy(kvusb_device** device) {
    if (device == nullptr || *device == nullptr)
        return aErrParam;
    kvusb_device* d = *device;
    *device = nullptr;
    if (d->handle != nullptr)
        (void)kvusb_close_korvel_USBlib_device(d);
    if (d->fd > 0)
        (void)kvusb_close_korvel_kernel_device(d);
    delete d;
    return aErrNone;
}

aErr kvusb_open_korvel_device(kvusb_device* device, const char* serial) {
    if (device == nullptr || serial == nullptr)
        return aErrParam;
    return device->mode == kvusb_modeLibusb ? kvusb_open_korvel_USBlib_device(device, serial)
                                            : kvusb_open_korvel_kernel_device(device, serial);
}

aErr kvusb_open_korvel_USBlib_device(kvusb_device* d, const char* serial) {
    if (d == nullptr || serial == nullptr)
        return aErrParam;
    if (d->mode != kvusb_modeLibusb)
        return aErrMode;
    libusb_context* ctx = Korvel_libusb_context();
    if (d->state.load() == kvusb_stateNone || ctx == nullptr)
        return aErrResource;
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; i++) {
        libusb_device* dev = list[i];
        if (!sIsKorvelDevice(dev))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(dev, &handle) != LIBUSB_SUCCESS)
            continue;
        libusb_device_descriptor desc;
        unsigned char text[51] = {0};
        bool match = false;
        if (libusb_get_device_descriptor(dev, &desc) == LIBUSB_SUCCESS && desc.iSerialNumber != 0 &&
            libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text, 50) > 0)
            match = strcmp(reinterpret_cast<const char*>(text), serial) == 0;
        if (!match) {
            libusb_close(handle);
            continue;
        }
        snprintf(d->serial, sizeof d->serial, "%s", serial);
        d->handle = handle;
        d->state.store(kvusb_stateOpened);
        if (sFindEndpoints(d) != LIBUSB_SUCCESS) {
            result = aErrConfiguration;
        } else {
            int rc = libusb_claim_interface(handle, d->interfaceNumber);
            if (rc == LIBUSB_SUCCESS) {
                d->state.store(kvusb_stateReady);
                d->errorCount.store(0);
                d->waiting = d->position = 0;
                result = aErrNone;
            } else if (rc == LIBUSB_ERROR_BUSY || rc == LIBUSB_ERROR_NO_DEVICE) {
                result = aErrBusy;
            } else if (rc == LIBUSB_ERROR_ACCESS) {
                result = aErrPermission;
            } else {
                result = aErrUnknown;
            }
        }
        if (result != aErrNone) {
            d->state.store(kvusb_stateClosed);
            libusb_close(handle);
            d->handle = nullptr;
        }
        break;
    }
    if (list != nullptr)
        libusb_free_device_list(list, 1);
    return result;
}

aErr kvusb_open_korvel_kernel_device(kvusb_device* d, const char* serial) {
    if (d == nullptr || serial == nullptr)
        return aErrParam;
    if (d->mode != kvusb_modeKernel)
        return aErrMode;
    snprintf(d->serial, sizeof d->serial, "%s", serial);
    char path[4096];
    int n = snprintf(path, sizeof path, "%s%s", kvusb_node_prefix(), serial);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return aErrIO;
    int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? aErrBusy : aErrIO;
    // 0 means "no node" in the record.
    fd = unix_KeepOffZero(fd);
    if (fd < 0)
        return aErrIO;
    d->fd = fd;
    return aErrNone;
}

aErr kvusb_get_from_device(kvusb_device* device, uint8_t* byte) {
    if (device == nullptr || byte == nullptr)
        return aErrParam;
    return device->mode == kvusb_modeLibusb ? kvusb_get_from_USBlib_device(device, byte)
                                            : kvusb_get_from_kernel_device(device, byte);
}

aErr kvusb_get_from_USBlib_device(kvusb_device* d, uint8_t* byte) {
    if (d == nullptr || byte == nullptr)
        return aErrParam;
    if (d->mode != kvusb_modeLibusb)
        return aErrMode;
    aErr result = aErrNone;
    if (d->waiting == 0) {
        result = sStateResult(d, "READ");
        if (result == aErrNone) {
            int transferred = 0;
            int rc = libusb_bulk_transfer(d->handle, d->readEndpoint, d->received, kvusb_READ_BUFFER,
                                          &transferred, kvusb_READ_TIMEOUT_MS);
            if (transferred < 0)
                transferred = 0;
            if (rc == LIBUSB_SUCCESS || (rc == LIBUSB_ERROR_TIMEOUT && transferred > 0)) {
                d->waiting = static_cast<uint32_t>(transferred);
                d->position = 0;
                if (transferred == 0)
                    result = aErrNotReady; // a zero-length packet carries nothing
            } else if (rc == LIBUSB_ERROR_PIPE) {
                (void)libusb_clear_halt(d->handle, d->readEndpoint);
                result = aErrNotReady;
            } else if (rc == LIBUSB_ERROR_TIMEOUT) {
                result = aErrNotReady;
            } else {
                aTRACE(aDEBUG_USB, "libusb READ error bulk transfer: %d", rc);
                result = aErrIO;
            }
        }
    }
    if (result == aErrNone && d->waiting > 0) {
        *byte = d->received[d->position++];
        d->waiting--;
    }
    aErr tolerated = sHandleErrorTolerance(d, result);
    // An absorbed error delivered no byte: say so rather than report a stale byte as read.
    if (result == aErrIO && tolerated == aErrNone)
        return aErrNotReady;
    return tolerated;
}

aErr kvusb_get_from_kernel_device(kvusb_device* d, uint8_t* byte) {
    if (d == nullptr || byte == nullptr)
        return aErrParam;
    if (d->mode != kvusb_modeKernel || d->fd <= 0)
        return aErrMode;
    // Wait for a byte (up to ~100 ms) so an idle reader sleeps; a node that cannot be polled
    // reports itself readable and the read decides as before.
    struct pollfd p = {d->fd, POLLIN, 0};
    int ready = poll(&p, 1, sNodeWaitMs);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrNotReady;
    ssize_t n = read(d->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    // A node that hung up polls readable and reads nothing, at once and forever.
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) && n <= 0)
        return aErrIO;
    if (n == 0)
        return aErrNotReady;
    if (errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr kvusb_write_to_device(kvusb_device* device, const uint8_t* bytes, size_t count) {
    if (device == nullptr || (bytes == nullptr && count > 0))
        return aErrParam;
    return device->mode == kvusb_modeLibusb ? kvusb_write_to_USBlib_device(device, bytes, count)
                                            : kvusb_write_to_kernel_device(device, bytes, count);
}

aErr kvusb_write_to_USBlib_device(kvusb_device* d, const uint8_t* bytes, size_t count) {
    if (d == nullptr || (bytes == nullptr && count > 0))
        return aErrParam;
    if (d->mode != kvusb_modeLibusb)
        return aErrMode;
    aErr result = sStateResult(d, "WRITE");
    if (result == aErrNone) {
        size_t sent = 0;
        for (uint32_t pass = 0; pass < kvusb_WRITE_PASSES && sent < count; pass++) {
            size_t chunk = count - sent < kvusb_WRITE_CHUNK ? count - sent : kvusb_WRITE_CHUNK;
            uint8_t buffer[kvusb_WRITE_CHUNK] = {0};
            memcpy(buffer, bytes + sent, chunk);
            int transferred = 0;
            int rc = libusb_bulk_transfer(d->handle, d->writeEndpoint, buffer, static_cast<int>(chunk),
                                          &transferred, kvusb_WRITE_TIMEOUT_MS);
            if (rc == LIBUSB_SUCCESS && static_cast<size_t>(transferred) == chunk) {
                sent += chunk;
            } else if (rc == LIBUSB_ERROR_PIPE) {
                int cleared = libusb_clear_halt(d->handle, d->writeEndpoint);
                if (cleared != LIBUSB_SUCCESS) {
                    aTRACE(aDEBUG_USB, "libusb WRITE error clearing halt: %d", cleared);
                    result = aErrIO;
                }
            } else {
                size_t done = transferred > 0 ? static_cast<size_t>(transferred) : 0;
                if (done > chunk)
                    done = chunk;
                int rest = 0;
                int again = libusb_bulk_transfer(d->handle, d->writeEndpoint, buffer + done,
                                                 static_cast<int>(chunk - done), &rest,
                                                 kvusb_WRITE_TIMEOUT_MS);
                if (again == LIBUSB_SUCCESS && static_cast<size_t>(rest) == chunk - done) {
                    sent += chunk;
                } else {
                    aTRACE(aDEBUG_USB, "libusb WRITE error bulk transfer: %d", again);
                    result = aErrIO;
                }
            }
        }
        if (sent < count && result != aErrIO)
            result = aErrWrite;
    }
    return sHandleErrorTolerance(d, result);
}

aErr kvusb_write_to_kernel_device(kvusb_device* d, const uint8_t* bytes, size_t count) {
    if (d == nullptr || (bytes == nullptr && count > 0))
        return aErrParam;
    if (d->mode != kvusb_modeKernel || d->fd <= 0)
        return aErrMode;
    size_t written = 0;
    for (int call = 0; call < 1000 && written < count; call++) {
        ssize_t n = write(d->fd, bytes + written, count - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return aErrIO;
        }
        written += static_cast<size_t>(n);
    }
    return written == count ? aErrNone : aErrIO;
}

aErr kvusb_close_korvel_device(kvusb_device* device) {
    if (device == nullptr)
        return aErrParam;
    return device->mode == kvusb_modeLibusb ? kvusb_close_korvel_USBlib_device(device)
                                            : kvusb_close_korvel_kernel_device(device);
}

aErr kvusb_close_korvel_USBlib_device(kvusb_device* d) {
    if (d == nullptr)
        return aErrParam;
    if (d->mode != kvusb_modeLibusb || d->handle == nullptr)
        return aErrMode;
    (void)libusb_release_interface(d->handle, d->interfaceNumber);
    libusb_close(d->handle);
    d->handle = nullptr;
    d->state.store(kvusb_stateClosed);
    d->interfaceNumber = d->writeEndpoint = d->readEndpoint = 0;
    return aErrNone;
}

aErr kvusb_close_korvel_kernel_device(kvusb_device* d) {
    if (d == nullptr)
        return aErrParam;
    if (d->mode != kvusb_modeKernel)
        return aErrMode;
    if (d->fd <= 0)
        return aErrNone;
    if (close(d->fd) != 0) {
        d->fd = 0; // the descriptor is gone either way on Linux
        return aErrCancel;
    }
    d->fd = 0;
    d->state.store(kvusb_stateClosed);
    return aErrNone;
}

uint32_t kvusb_get_state(const kvusb_device* device) {
    return device != nullptr ? device->state.load() : static_cast<uint32_t>(kvusb_stateNone);
}

bool is_korvel_device(libusb_device* device) { return device != nullptr && sIsKorvelDevice(device); }
