// The virtual module on a TCP listener (loopback by default). One host connection at a time:
// a new connection replaces the old one, and the listener keeps listening after a close, so a
// host that reconnects finds the module again.
#ifndef KORVEL_VM_TCP_TRANSPORT_H
#define KORVEL_VM_TCP_TRANSPORT_H

#include "VirtualModule.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace vmod {

class TcpTransport {
public:
    // Listens on address:port (port 0: a free port, see port()). Throws std::runtime_error when
    // the listener cannot be set up.
    explicit TcpTransport(Module& module, uint16_t port = 0, const std::string& address = "127.0.0.1");
    ~TcpTransport();
    TcpTransport(const TcpTransport&) = delete;
    TcpTransport& operator=(const TcpTransport&) = delete;

    uint16_t port() const { return port_; }
    bool connected() const;
    uint64_t connections() const { return connections_.load(); } // accepted so far

    // Faults. closeConnection: an orderly close (the host reads end of stream).
    // resetConnection: an abortive close (the host sees a connection reset, an I/O error).
    void closeConnection();
    void resetConnection();
    // Stops accepting (a host's reconnect is refused) or accepts again.
    void setAccepting(bool accepting);

private:
    void run();
    void wake();
    void dropClient(bool reset); // I/O thread only, with lock_ held
    void send(const uint8_t* bytes, size_t count);

    Module& module_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    mutable std::mutex lock_; // clientFd_
    int clientFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> request_{0}; // 1 close, 2 reset
    std::atomic<bool> accepting_{true};
    std::atomic<uint64_t> connections_{0};
    std::thread thread_;
};

} // namespace vmod

#endif
