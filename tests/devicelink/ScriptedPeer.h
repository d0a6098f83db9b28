// A scripted module side for link tests, on any byte channel (TCP socket, pty master,
// socketpair end). It frames what the host sends on its own (address byte, length byte, data),
// records every frame, answers 173-packets from a list of addresses and sends whatever bytes a
// test gives it. It shares no code with the library's framing.
#ifndef KORVEL_TEST_SCRIPTEDPEER_H
#define KORVEL_TEST_SCRIPTEDPEER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

typedef std::vector<uint8_t> Bytes;

class ScriptedPeer {
public:
    // Takes over fd (closes it when done).
    explicit ScriptedPeer(int fd);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Addresses used, in turn, as the source of the empty reply to each 173-packet; empty list:
    // 173-packets go unanswered.
    void answerSyncFrom(std::vector<uint8_t> addresses);

    void send(const Bytes& bytes);

    // Every complete frame received so far, each as its raw bytes.
    std::vector<Bytes> frames();
    size_t count(const Bytes& frame);

    // Waits (up to timeout) until predicate holds over the frames received; its last result.
    bool waitFor(const std::function<bool(const std::vector<Bytes>&)>& predicate,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool waitForCount(const Bytes& frame, size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the host closed the channel (seen within timeout).
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void clear();

private:
    void run();

    int mFd;
    std::atomic<bool> mStop{false};
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<Bytes> mFrames;
    std::vector<uint8_t> mSyncAddresses;
    size_t mNextSync = 0;
    bool mClosed = false;
    std::mutex mWriteLock;
    std::thread mThread;
};

// A TCP listener on 127.0.0.1 with an ephemeral port.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    uint16_t port() const { return mPort; }
    // Accepted connection's descriptor, or -1 when none came within the timeout.
    int accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    int mFd = -1;
    uint16_t mPort = 0;
};

// The IPv4 loopback address in network byte order.
uint32_t loopbackAddress();

#endif
