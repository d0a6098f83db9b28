// Serial-port transport of aStream (termios, raw mode).
#include "aStream.h"
#include "unix_descriptor.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr uint16_t sSerialCheck = 0xBEEF;
constexpr size_t sMaxPath = 4095;
constexpr int sGetWaitMs = 100;

constexpr speed_t sBaudTable[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
constexpr uint32_t sBaudCount = sizeof sBaudTable / sizeof sBaudTable[0];

struct SerialRecord {
    uint16_t check;
    uint32_t baudIndex;
    bool parity;
    uint32_t dataBits;
    uint32_t stopBits;
    char path[sMaxPath + 1];
    int fd; // 0 when closed
    struct termios saved; // valid when savedValid
    bool savedValid;
    struct termios working;
};

bool aVALIDSERIAL(const SerialRecord* r) { return r != nullptr && r->check == sSerialCheck; }

aErr sSerialOpen(SerialRecord* r) {
    int fd = open(r->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return aErrNotFound;
        if (errno == EACCES)
            return aErrPermission;
        return aErrIO;
    }
    // Descriptor 0 means "closed" in the record; keep a real port off it.
    fd = unix_KeepOffZero(fd);
    if (fd < 0)
        return aErrIO;
    r->fd = fd;
    if (fcntl(fd, F_SETFL, 0) != 0 || tcgetattr(fd, &r->saved) != 0)
        return aErrIO;
    r->savedValid = true;
    struct termios t = r->saved;
    t.c_iflag = IGNBRK | (r->parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (r->parity ? PARENB : 0) | (r->dataBits == 0 ? CS8 : CS7) |
                (r->stopBits == 1 ? CSTOPB : 0);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, sBaudTable[r->baudIndex]) != 0 || cfsetospeed(&t, sBaudTable[r->baudIndex]) != 0)
        return aErrIO;
    r->working = t;
    if (tcsetattr(fd, TCSANOW, &t) != 0 || tcflush(fd, TCIOFLUSH) != 0)
        return aErrIO;
    return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* ref) {
    SerialRecord* r = static_cast<SerialRecord*>(ref);
    if (!aVALIDSERIAL(r) || byte == nullptr)
        return aErrParam;
    if (r->fd <= 0)
        return aErrIO;
    // Wait for a byte rather than return at once, so that an idle reader sleeps.
    struct pollfd p = {r->fd, POLLIN, 0};
    int ready = poll(&p, 1, sGetWaitMs);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrNotReady;
    if (ready < 0)
        return aErrIO;
    ssize_t n = read(r->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    // A port that hung up (unplugged, or the far end of a pseudo-terminal closed) polls
    // readable and reads nothing, at once and forever: that is an I/O error, not "no data".
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
        return aErrIO;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr sSerialWrite(const uint8_t* bytes, size_t count, void* ref) {
    SerialRecord* r = static_cast<SerialRecord*>(ref);
    if (!aVALIDSERIAL(r) || (bytes == nullptr && count > 0))
        return aErrParam;
    if (r->fd <= 0)
        return aErrIO;
    ssize_t n = write(r->fd, bytes, count);
    if (n < 0 || static_cast<size_t>(n) != count)
        return aErrIO;
    // A pseudo-terminal cannot drain and reports ENOTTY/EINVAL on some systems; the bytes are in
    // its buffer already, which is all a pty can promise.
    if (tcdrain(r->fd) != 0 && errno != ENOTTY && errno != EINVAL)
        return aErrIO;
    return aErrNone;
}

aErr sSerialPut(uint8_t byte, void* ref) { return sSerialWrite(&byte, 1, ref); }

aErr sSerialDelete(void* ref) {
    SerialRecord* r = static_cast<SerialRecord*>(ref);
    if (!aVALIDSERIAL(r))
        return aErrParam;
    if (r->fd > 0) {
        if (r->savedValid)
            (void)tcsetattr(r->fd, TCSANOW, &r->saved);
        close(r->fd);
        r->fd = 0;
    }
    r->check = 0;
    delete r;
    return aErrNone;
}

} // namespace

aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream) {
    if (stream != nullptr)
        *stream = nullptr;
    if (path == nullptr || stream == nullptr || dataBits > 1 || stopBits > 1 ||
        baudIndex >= sBaudCount || strlen(path) > sMaxPath)
        return aErrResource;
    SerialRecord* r = new (std::nothrow) SerialRecord{};
    if (r == nullptr)
        return aErrResource;
    r->check = sSerialCheck;
    r->baudIndex = baudIndex;
    r->parity = parity;
    r->dataBits = dataBits;
    r->stopBits = stopBits;
    strcpy(r->path, path);
    aStreamRef s = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, r);
    if (s == nullptr) {
        delete r;
        return aErrResource;
    }
    aErr opened = sSerialOpen(r);
    if (opened != aErrNone) {
        // Destroying restores and closes the port if it got that far.
        (void)aStream_Destroy(&s);
        return opened;
    }
    *stream = s;
    return aErrNone;
}
