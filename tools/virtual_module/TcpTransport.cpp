#include "TcpTransport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vmod {

TcpTransport::TcpTransport(Module& module, uint16_t port, const std::string& address) : module_(module) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::runtime_error("socket failed");
    int on = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(listenFd_, 4) != 0) {
        close(listenFd_);
        throw std::runtime_error("cannot listen on " + address + ":" + std::to_string(port));
    }
    socklen_t len = sizeof sa;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        close(listenFd_);
        throw std::runtime_error("eventfd failed");
    }
    module_.attach([this](const uint8_t* b, size_t n) { send(b, n); });
    thread_ = std::thread([this] { run(); });
}

TcpTransport::~TcpTransport() {
    module_.detach();
    stop_ = true;
    wake();
    thread_.join();
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (clientFd_ >= 0)
            close(clientFd_);
        clientFd_ = -1;
    }
    close(listenFd_);
    close(wakeFd_);
}

bool TcpTransport::connected() const {
    std::lock_guard<std::mutex> hold(lock_);
    return clientFd_ >= 0;
}

void TcpTransport::wake() {
    uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
}

void TcpTransport::closeConnection() {
    request_ = 1;
    wake();
}

void TcpTransport::resetConnection() {
    request_ = 2;
    wake();
}

void TcpTransport::setAccepting(bool accepting) {
    accepting_ = accepting;
    wake();
}

void TcpTransport::dropClient(bool reset) {
    if (clientFd_ < 0)
        return;
    if (reset) {
        struct linger drop = {1, 0};
        setsockopt(clientFd_, SOL_SOCKET, SO_LINGER, &drop, sizeof drop);
    }
    close(clientFd_);
    clientFd_ = -1;
}

void TcpTransport::send(const uint8_t* bytes, size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    if (clientFd_ < 0) {
        module_.noteDropped(count);
        return;
    }
    size_t done = 0;
    while (done < count) {
        ssize_t n = ::send(clientFd_, bytes + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // a host that does not read loses bytes instead of stalling the module
        done += static_cast<size_t>(n);
    }
    if (done < count)
        module_.noteDropped(count - done);
}

void TcpTransport::run() {
    uint8_t buffer[4096];
    while (!stop_) {
        int client;
        {
            std::lock_guard<std::mutex> hold(lock_);
            int req = request_.exchange(0);
            if (req != 0)
                dropClient(req == 2);
            client = clientFd_;
        }
        pollfd fds[3] = {{wakeFd_, POLLIN, 0}, {accepting_ ? listenFd_ : -1, POLLIN, 0}, {client, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            (void)!read(wakeFd_, &count, sizeof count);
        }
        if (fds[1].revents & POLLIN) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                int on = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                std::lock_guard<std::mutex> hold(lock_);
                dropClient(false);
                clientFd_ = fd;
                connections_++;
                continue; // poll the new connection
            }
        }
        if (client >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                module_.receive(buffer, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                std::lock_guard<std::mutex> hold(lock_);
                if (clientFd_ == client)
                    dropClient(false);
            }
        }
    }
}

} // namespace vmod
