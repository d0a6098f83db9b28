#include "unix_discovery.h"

#include "Korvel-C.h"
#include "aDebugging.h"
#include "kvusb_driver.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A UDP socket with address reuse on; -1 when it cannot be made.
int sUDPSocket() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The reply listener on port 9889 of every address, or -1 when it is not ready.
int sOpenListener() {
    int fd = sUDPSocket();
    if (fd < 0)
        return -1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(aDISCOVERY_REPLY_PORT);
    timeval wait{};
    wait.tv_sec = aDISCOVERY_REPLY_WAIT_MS / 1000;
    wait.tv_usec = (aDISCOVERY_REPLY_WAIT_MS % 1000) * 1000;
    if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        aTRACE(aDEBUG_DISCOVERY, "reply listener not ready: %s", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one request, through `interface` unless it is null. True when it went out.
bool sSendRequest(const in_addr* interface) {
    int fd = sUDPSocket();
    if (fd < 0)
        return false;
    bool sent = false;
    if (!interface ||
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, interface, sizeof *interface) == 0) {
        uint8_t request[aDISCOVERY_REQUEST_SIZE] = {1};
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(aDISCOVERY_REQUEST_PORT);
        inet_pton(AF_INET, aDISCOVERY_GROUP, &group.sin_addr);
        sent = sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group),
                      sizeof group) == ssize_t(sizeof request);
    }
    if (!sent)
        aTRACE(aDEBUG_DISCOVERY, "request not sent: %s", strerror(errno));
    close(fd);
    return sent;
}

// Sends the request on every interface; returns how many went out.
int sSendRequests() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return sSendRequest(nullptr) ? 1 : 0;
    int sent = 0;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        in_addr address = reinterpret_cast<sockaddr_in*>(entry->ifa_addr)->sin_addr;
        if (address.s_addr == htonl(INADDR_LOOPBACK) || address.s_addr == htonl(INADDR_ANY))
            continue;
        if (sSendRequest(&address))
            ++sent;
    }
    freeifaddrs(list);
    return sent;
}

uint16_t sGetLE16(const uint8_t* at) { return uint16_t(at[0] | at[1] << 8); }

uint32_t sGetLE32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

} // namespace

uint8_t aDiscovery_EnumerateTCPIPModules(aDiscoveryModuleFoundProc callback, void* context) {
    int listener = sOpenListener();
    int sent = sSendRequests();
    uint8_t count = 0;
    if (listener >= 0 && sent > 0) {
        bool goOn = true;
        while (goOn) {
            // A fresh buffer for every reply, so a short one never inherits bytes of the last;
            // a reply without byte 12 reports model 255.
            uint8_t reply[aDISCOVERY_REPLY_SIZE] = {};
            reply[12] = 255;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t n = recvfrom(listener, reply, sizeof reply, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0)
                break;
            if (n < 8 || from.sin_family != AF_INET) {
                aTRACE(aDEBUG_DISCOVERY, "short reply (%zd bytes) ignored", n);
                continue;
            }
            linkSpec spec{};
            spec.type = TCPIP;
            spec.serialNumber = sGetLE32(reply + 4);
            spec.module = reply[1];
            spec.router = reply[1];
            spec.routerSerialNumber = spec.serialNumber;
            spec.model = reply[12];
            spec.ip.ipAddress = from.sin_addr.s_addr;
            spec.ip.ipPort = sGetLE16(reply + 2);
            bool found = false;
            goOn = callback(&spec, &found, context);
            if (found)
                ++count;
        }
    }
    if (listener >= 0)
        close(listener);
    return count;
}

namespace {

// The module's serial number from its serial-number string: exactly 8 hexadecimal digits.
bool sParseSerial(const unsigned char* text, int length, uint32_t* serial) {
    if (length != 8)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < 8; ++i) {
        int c = text[i];
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0)
            return false;
        value = value << 4 | uint32_t(digit);
    }
    *serial = value;
    return true;
}

} // namespace

uint8_t aDiscovery_EnumerateUSBModules(aDiscoveryModuleFoundProc callback, void* context) {
    Korvel_libusb_init();
    libusb_context* usb = Korvel_libusb_context();
    if (!usb)
        return 0;
    libusb_device** list = nullptr;
    ssize_t devices = libusb_get_device_list(usb, &list);
    uint8_t count = 0;
    bool goOn = true;
    for (ssize_t i = 0; i < devices && goOn; ++i) {
        if (!is_korvel_device(list[i]))
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != LIBUSB_SUCCESS)
            continue;
        libusb_device_descriptor descriptor;
        unsigned char text[32] = {};
        uint32_t serial = 0;
        int length = -1;
        if (libusb_get_device_descriptor(list[i], &descriptor) == LIBUSB_SUCCESS)
            length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                        sizeof text - 1);
        if (length > 0 && sParseSerial(text, length, &serial)) {
            linkSpec spec{};
            spec.type = USB;
            spec.serialNumber = serial;
            spec.model = descriptor.idProduct & 0xFF;
            spec.usbSerialNumber = serial;
            bool found = false;
            goOn = callback(&spec, &found, context);
            if (found)
                ++count;
        } else {
            aTRACE(aDEBUG_DISCOVERY, "USB device %zd: no 8-digit serial number (%d)", i, length);
        }
        libusb_close(handle);
    }
    if (list)
        libusb_free_device_list(list, 1);
    return count;
}
