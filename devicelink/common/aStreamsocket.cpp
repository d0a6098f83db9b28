// TCP client transport of aStream.
#include "aStream.h"
#include "aTime.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr uint16_t sSocketCheck = 0xDEAD;
constexpr uint32_t sConnected = 0x1;
constexpr int sGetWaitMs = 100;
constexpr int sWriteAttempts = 10;
constexpr uint32_t sWritePauseMs = 60;

struct SocketRecord {
    uint16_t check;
    uint16_t port;
    sockaddr_in address;
    // The descriptor number stays the same for the life of the record once set: a reconnect
    // puts the new connection onto it (dup2), so the other thread never uses a number that was
    // closed and handed out again.
    std::atomic<int> fd;
    std::atomic<uint32_t> flags;
    // Serialises reconnects; `generation` counts them so that a thread that saw the failure of
    // a connection another thread has already replaced does not reconnect a second time.
    std::mutex resetLock;
    std::atomic<uint32_t> generation;
    // Bytes received but not yet handed out. A stream has one reader, so only the get touches
    // these; reading a chunk at a time keeps the system calls per byte near zero.
    uint8_t rxBuffer[512];
    uint16_t rxNext;
    uint16_t rxCount;
};

bool aVALIDSOCKET(const SocketRecord* r) { return r != nullptr && r->check == sSocketCheck; }

bool sConnectedNow(const SocketRecord* r) { return (r->flags.load() & sConnected) != 0; }

aErr sApplyOptions(int fd) {
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return aErrIO;
    struct timeval noTimeout = {0, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0)
        return aErrIO;
    struct linger drop = {1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &drop, sizeof drop) != 0)
        return aErrIO;
    int nonBlocking = 1;
    if (ioctl(fd, FIONBIO, &nonBlocking) != 0)
        return aErrIO;
    return aErrNone;
}

// Connects (or reconnects) the record. `seenGeneration` is the generation the caller's failed
// operation ran under; if another thread has reconnected since, nothing more is done.
aErr sReset(SocketRecord* r, uint32_t seenGeneration) {
    if (!aVALIDSOCKET(r))
        return aErrInitialization;
    std::lock_guard<std::mutex> hold(r->resetLock);
    if (r->generation.load() != seenGeneration && sConnectedNow(r))
        return aErrNone;
    r->flags.fetch_and(~sConnected);
    int old = r->fd.load();
    if (old > 0)
        (void)shutdown(old, SHUT_RDWR);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return aErrIO;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&r->address), sizeof r->address) != 0) {
        int e = errno;
        close(fd);
        return (e == ETIMEDOUT || e == ECONNREFUSED || e == EAGAIN || e == ECONNRESET) ? aErrConnection
                                                                                     : aErrIO;
    }
    aErr options = sApplyOptions(fd);
    if (options != aErrNone) {
        close(fd);
        return options;
    }
    if (old > 0) {
        int placed = dup2(fd, old);
        close(fd);
        if (placed < 0)
            return aErrIO;
    } else {
        r->fd.store(fd);
    }
    r->generation.fetch_add(1);
    r->flags.fetch_or(sConnected);
    return aErrNone;
}

aErr sSocketGet(uint8_t* byte, void* ref) {
    SocketRecord* r = static_cast<SocketRecord*>(ref);
    if (!aVALIDSOCKET(r) || byte == nullptr)
        return aErrParam;
    if (r->rxNext < r->rxCount) {
        *byte = r->rxBuffer[r->rxNext++];
        return aErrNone;
    }
    if (!sConnectedNow(r))
        return aErrConnection;
    uint64_t started = aTime_GetMSTicks();
    // Sleep until a byte arrives (or ~100 ms pass) so that an idle reader costs nothing.
    struct pollfd p = {r->fd.load(), POLLIN, 0};
    int ready = poll(&p, 1, sGetWaitMs);
    if (ready <= 0)
        return aErrNotReady;
    for (int attempt = 0;; attempt++) {
        uint32_t generation = r->generation.load();
        uint8_t peeked;
        ssize_t n = recv(r->fd.load(), &peeked, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0) {
            int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR)
                return aErrNotReady;
            if ((e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT) && attempt == 0) {
                aErr reset = sReset(r, generation);
                if (reset != aErrNone)
                    return reset;
                continue;
            }
            return aErrConnection;
        }
        if (n == 0) {
            // The peer closed: no byte, not an error. Wait out the rest of the slice, since a
            // closed socket polls readable at once and the reader would otherwise spin.
            uint64_t spent = aTime_GetMSTicks() - started;
            if (spent < static_cast<uint64_t>(sGetWaitMs))
                aTime_MSSleep(static_cast<uint32_t>(sGetWaitMs - spent));
            return aErrNotReady;
        }
        break;
    }
    ssize_t n = recv(r->fd.load(), r->rxBuffer, sizeof r->rxBuffer, MSG_DONTWAIT);
    if (n > 0) {
        *byte = r->rxBuffer[0];
        r->rxNext = 1;
        r->rxCount = static_cast<uint16_t>(n);
        return aErrNone;
    }
    if (n == 0)
        return aErrNotReady;
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK)
        return aErrEOF;
    if (e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT)
        return aErrNotReady;
    return aErrIO;
}

aErr sSocketWrite(const uint8_t* bytes, size_t count, void* ref) {
    SocketRecord* r = static_cast<SocketRecord*>(ref);
    if (!aVALIDSOCKET(r) || (bytes == nullptr && count > 0) || count > INT32_MAX)
        return aErrParam;
    if (!sConnectedNow(r))
        return aErrConnection;
    size_t remaining = count;
    int attempts = 0;
    while (remaining > 0) {
        uint32_t generation = r->generation.load();
        ssize_t n = send(r->fd.load(), bytes + (count - remaining), remaining, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            remaining -= static_cast<size_t>(n);
            if (remaining > 0)
                attempts = 1;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            attempts++;
        } else if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
            aErr reset = sReset(r, generation);
            if (reset != aErrNone)
                return reset;
            attempts++;
        } else {
            return aErrIO;
        }
        if (remaining == 0)
            break;
        if (attempts >= sWriteAttempts)
            return aErrWrite;
        aTime_MSSleep(sWritePauseMs);
    }
    return aErrNone;
}

aErr sSocketPut(uint8_t byte, void* ref) { return sSocketWrite(&byte, 1, ref); }

aErr sSocketDelete(void* ref) {
    SocketRecord* r = static_cast<SocketRecord*>(ref);
    if (!aVALIDSOCKET(r))
        return aErrIO;
    int fd = r->fd.load();
    if (fd > 0)
        close(fd);
    r->fd.store(0);
    r->flags.store(0);
    r->check = 0;
    delete r;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
    if (stream == nullptr)
        return aErrResource;
    *stream = nullptr;
    SocketRecord* r = new (std::nothrow) SocketRecord{};
    if (r == nullptr)
        return aErrResource;
    r->port = port;
    r->address.sin_family = AF_INET;
    r->address.sin_port = htons(port);
    r->address.sin_addr.s_addr = address;
    r->check = sSocketCheck;
    if (sReset(r, r->generation.load()) != aErrNone) {
        (void)sSocketDelete(r);
        return aErrResource;
    }
    aStreamRef s = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, r);
    if (s == nullptr) {
        (void)sSocketDelete(r);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}
