#include "PtyTransport.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace vmod {

PtyTransport::PtyTransport(Module& module, Kind kind, const std::string& link)
    : module_(module), kind_(kind), link_(link) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        throw std::runtime_error("eventfd failed");
    try {
        open();
    } catch (...) {
        close(wakeFd_);
        throw;
    }
    module_.attach([this](const uint8_t* b, size_t n) { send(b, n); });
    thread_ = std::thread([this] { run(); });
}

PtyTransport::~PtyTransport() {
    module_.detach();
    stop_ = true;
    wake();
    thread_.join();
    std::lock_guard<std::mutex> hold(lock_);
    closeAll();
    if (!link_.empty())
        unlink(link_.c_str());
    close(wakeFd_);
}

std::string PtyTransport::nodePath(const std::string& prefix, uint32_t serialNumber) {
    char tail[16];
    snprintf(tail, sizeof tail, "%08X", serialNumber);
    return prefix + tail;
}

std::string PtyTransport::path() const { return link_.empty() ? slavePath() : link_; }

std::string PtyTransport::slavePath() const {
    std::lock_guard<std::mutex> hold(lock_);
    return slavePath_;
}

void PtyTransport::open() {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        if (master >= 0)
            close(master);
        throw std::runtime_error("no pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) {
        close(master);
        throw std::runtime_error("ptsname failed");
    }
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        close(master);
        throw std::runtime_error("cannot open the slave");
    }
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = kind_ == Kind::Node ? 1 : 0;
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!link_.empty()) {
        unlink(link_.c_str());
        if (symlink(name, link_.c_str()) != 0) {
            close(slave);
            close(master);
            throw std::runtime_error("cannot link " + link_);
        }
    }
    std::lock_guard<std::mutex> hold(lock_);
    masterFd_ = master;
    slaveFd_ = slave;
    slavePath_ = name;
}

void PtyTransport::closeAll() {
    if (masterFd_ >= 0)
        close(masterFd_);
    if (slaveFd_ >= 0)
        close(slaveFd_);
    masterFd_ = slaveFd_ = -1;
}

void PtyTransport::wake() {
    uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
}

void PtyTransport::hangUp() {
    {
        // The I/O thread polls the master; it is told to forget it before it goes.
        std::lock_guard<std::mutex> hold(lock_);
        closeAll();
    }
    wake();
}

void PtyTransport::reopen() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        closeAll();
    }
    open();
    wake();
}

void PtyTransport::send(const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    if (masterFd_ < 0) {
        module_.noteDropped(count);
        return;
    }
    size_t done = 0;
    while (done < count) {
        ssize_t n = write(masterFd_, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // full: the host is not reading
        done += static_cast<size_t>(n);
    }
    if (done < count)
        module_.noteDropped(count - done);
}

void PtyTransport::run() {
    uint8_t buffer[4096];
    while (!stop_) {
        // Hold the lock across the read so that hangUp cannot close the descriptor under it;
        // poll outside, on a duplicate that stays valid whatever hangUp does.
        int watched;
        {
            std::lock_guard<std::mutex> hold(lock_);
            watched = masterFd_ >= 0 ? dup(masterFd_) : -1;
        }
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {watched, POLLIN, 0}};
        int ready = poll(fds, 2, -1);
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!read(wakeFd_, &count, sizeof count);
        }
        if (ready > 0 && watched >= 0 && (fds[1].revents & POLLIN)) {
            ssize_t n = read(watched, buffer, sizeof buffer);
            if (n > 0)
                module_.receive(buffer, static_cast<size_t>(n));
        }
        if (watched >= 0)
            close(watched);
    }
}

} // namespace vmod
