#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

ScriptedPeer::ScriptedPeer(int fd) : mFd(fd) { mThread = std::thread([this] { run(); }); }

ScriptedPeer::~ScriptedPeer() {
    mStop = true;
    mThread.join();
    close(mFd);
}

void ScriptedPeer::answerSyncFrom(std::vector<uint8_t> addresses) {
    std::lock_guard<std::mutex> hold(mLock);
    mSyncAddresses = std::move(addresses);
    mNextSync = 0;
}

void ScriptedPeer::send(const Bytes& bytes) {
    std::lock_guard<std::mutex> hold(mWriteLock);
    size_t done = 0;
    while (done < bytes.size()) {
        // Never SIGPIPE when the host has gone: sockets get MSG_NOSIGNAL, a pty cannot raise it.
        ssize_t n = ::send(mFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(mFd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::vector<Bytes> ScriptedPeer::frames() {
    std::lock_guard<std::mutex> hold(mLock);
    return mFrames;
}

size_t ScriptedPeer::count(const Bytes& frame) {
    std::lock_guard<std::mutex> hold(mLock);
    size_t n = 0;
    for (const auto& f : mFrames)
        n += f == frame;
    return n;
}

bool ScriptedPeer::waitFor(const std::function<bool(const std::vector<Bytes>&)>& predicate,
                           std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mLock);
    return mChanged.wait_for(hold, timeout, [&] { return predicate(mFrames); });
}

bool ScriptedPeer::waitForCount(const Bytes& frame, size_t n, std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const std::vector<Bytes>& frames) {
            size_t seen = 0;
            for (const auto& f : frames)
                seen += f == frame;
            return seen >= n;
        },
        timeout);
}

bool ScriptedPeer::waitClosed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(mLock);
    return mChanged.wait_for(hold, timeout, [&] { return mClosed; });
}

void ScriptedPeer::clear() {
    std::lock_guard<std::mutex> hold(mLock);
    mFrames.clear();
}

void ScriptedPeer::run() {
    Bytes frame;
    while (!mStop) {
        struct pollfd p = {mFd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        uint8_t buffer[256];
        ssize_t n = read(mFd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            std::lock_guard<std::mutex> hold(mLock);
            mClosed = true;
            mChanged.notify_all();
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            frame.push_back(buffer[i]);
            // A frame is complete once its length byte and that many data bytes are in.
            if (frame.size() < 2 || frame.size() < size_t(frame[1]) + 2)
                continue;
            Bytes reply;
            {
                std::lock_guard<std::mutex> hold(mLock);
                mFrames.push_back(frame);
                if (frame[0] == 0xAD && frame[1] == 0 && !mSyncAddresses.empty()) {
                    reply = {mSyncAddresses[mNextSync % mSyncAddresses.size()], 0};
                    mNextSync++;
                }
                mChanged.notify_all();
            }
            if (!reply.empty())
                send(reply);
            frame.clear();
        }
    }
}

LoopbackListener::LoopbackListener() {
    mFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (mFd < 0 || bind(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(mFd, 4) != 0 || getsockname(mFd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw std::runtime_error("loopback listener");
    mPort = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() {
    if (mFd >= 0)
        close(mFd);
}

int LoopbackListener::accept(std::chrono::milliseconds timeout) {
    struct pollfd p = {mFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return -1;
    return ::accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC);
}

uint32_t loopbackAddress() { return htonl(INADDR_LOOPBACK); }
