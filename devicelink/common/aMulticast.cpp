#include "aMulticast.h"

#include "aDebugging.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

struct aMulticast {
    uint16_t check;
    int fd;
    sockaddr_in destination; // group and port
    sockaddr_in bindAddress; // receiver: any address and the port; sender: interface, port 0
    in_addr interface;
    int mode;
};

namespace {

constexpr uint16_t sCHECK = 0xC0DE;

bool aVALIDMULTICAST(const aMulticast* handle) { return handle && handle->check == sCHECK; }

bool sSetUp(aMulticast* handle) {
    int fd = handle->fd;
    int off = 0;
    unsigned char ttl = 1, loop = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &off, sizeof off) != 0)
        return false;
    if (handle->mode == aMULTICAST_RECEIVER &&
        bind(fd, reinterpret_cast<const sockaddr*>(&handle->bindAddress),
             sizeof handle->bindAddress) != 0)
        return false;
    ip_mreq membership{};
    membership.imr_multiaddr = handle->destination.sin_addr;
    membership.imr_interface = handle->interface;
    timeval wait{1, 0};
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &handle->interface,
                      sizeof handle->interface) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0 &&
           setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0;
}

} // namespace

aMulticastRef aMulticast_Create(uint32_t interface, uint32_t group, int port, int mode) {
    if (port < 0 || port > 65535 || (mode != aMULTICAST_RECEIVER && mode != aMULTICAST_SENDER))
        return nullptr;
    auto* handle = static_cast<aMulticast*>(calloc(1, sizeof(aMulticast)));
    if (!handle)
        return nullptr;
    handle->mode = mode;
    handle->destination.sin_family = AF_INET;
    handle->destination.sin_addr.s_addr = group;
    handle->destination.sin_port = htons(uint16_t(port));
    handle->interface.s_addr = interface ? interface : htonl(INADDR_LOOPBACK);
    handle->bindAddress.sin_family = AF_INET;
    if (mode == aMULTICAST_RECEIVER) {
        handle->bindAddress.sin_addr.s_addr = htonl(INADDR_ANY);
        handle->bindAddress.sin_port = htons(uint16_t(port));
    } else {
        handle->bindAddress.sin_addr = handle->interface;
    }
    handle->fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (handle->fd < 0 || !sSetUp(handle)) {
        aTRACE(aDEBUG_MULTICAST, "%s on port %d not made: %s",
               mode == aMULTICAST_RECEIVER ? "receiver" : "sender", port, strerror(errno));
        if (handle->fd >= 0)
            close(handle->fd);
        free(handle);
        return nullptr;
    }
    handle->check = sCHECK;
    return handle;
}

int aMulticast_Send(aMulticastRef handle, const void* data, unsigned length) {
    if (!aVALIDMULTICAST(handle))
        return aMULTICAST_NO_HANDLE;
    if (handle->mode != aMULTICAST_SENDER)
        return aMULTICAST_WRONG_MODE;
    if (!data && length > 0)
        return aMULTICAST_FAILED;
    ssize_t sent = sendto(handle->fd, data, length, 0,
                          reinterpret_cast<const sockaddr*>(&handle->destination),
                          sizeof handle->destination);
    return sent < 0 ? aMULTICAST_FAILED : int(sent);
}

int aMulticast_Receive(aMulticastRef handle, void* buffer, int size) {
    if (!aVALIDMULTICAST(handle))
        return aMULTICAST_NO_HANDLE;
    if (handle->mode != aMULTICAST_RECEIVER)
        return aMULTICAST_WRONG_MODE;
    if (!buffer || size < 1)
        return aMULTICAST_FAILED;
    ssize_t received = recv(handle->fd, buffer, size_t(size), 0);
    return received < 0 ? aMULTICAST_FAILED : int(received);
}

int aMulticast_Destroy(aMulticastRef* handle) {
    if (!handle || !aVALIDMULTICAST(*handle))
        return aMULTICAST_NO_HANDLE;
    close((*handle)->fd);
    (*handle)->check = 0;
    free(*handle);
    *handle = nullptr;
    return 0;
}
