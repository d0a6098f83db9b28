// Module discovery over TCP/IP and shared-device server beacons, against answerers on the far
// side of veth links between two private network namespaces (root only; skipped with 77 where
// namespaces cannot be made). The answerers are written from the wire tables alone.
#include "DiscoveryTestSupport.h"
#include "NetworkNamespaces.h"
#include "discover.h"
#include "zBeaconInterface.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace discoverytest;

const std::vector<netns::VethLink> kLinks = {{"192.0.2.1", "192.0.2.2"},
                                             {"198.51.100.1", "198.51.100.2"}};

netns::ModuleSide* gModuleSide = nullptr;

// A module's 16-byte discovery reply: address, TCP port, serial number, model.
Bytes moduleReply(uint8_t address, uint16_t port, uint32_t serial, uint8_t model) {
    Bytes reply(16, 0xEE); // the unused bytes carry junk on purpose
    reply[1] = address;
    reply[2] = uint8_t(port);
    reply[3] = uint8_t(port >> 8);
    put32(reply, 4, serial);
    reply[12] = model;
    return reply;
}

// One datagram as the far side saw it.
struct Heard {
    Bytes bytes;
    std::string from;
};

// A UDP answerer running on its own thread in the module namespace. It stops when destroyed
// and in any case after 20 s.
class FarSide {
public:
    using Answer = std::function<void(int fd, const Heard& heard, const sockaddr_in& from)>;

    // Binds `port` on every address; joins `group` on each of `joinOn` when given.
    FarSide(uint16_t port, const char* group, std::vector<std::string> joinOn, Answer answer)
        : answer_(std::move(answer)) {
        thread_ = std::thread([this, port, group, joinOn] { loop(port, group, joinOn); });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return state_ != 0; });
    }
    ~FarSide() {
        stop_ = true;
        thread_.join();
    }
    bool ready() const { return state_ > 0; }
    std::vector<Heard> heard() {
        std::lock_guard<std::mutex> lock(mutex_);
        return heard_;
    }

private:
    void loop(uint16_t port, const char* group, const std::vector<std::string>& joinOn) {
        int fd = -1;
        bool ok = gModuleSide->enter() && (fd = socket(AF_INET, SOCK_DGRAM, 0)) >= 0;
        int on = 1, off = 0;
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(port);
        ok = ok && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
             setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 &&
             setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) == 0 &&
             bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
        for (const std::string& address : joinOn) {
            ip_mreq membership{};
            membership.imr_multiaddr.s_addr = ipv4(group);
            membership.imr_interface.s_addr = ipv4(address.c_str());
            ok = ok && setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership,
                                  sizeof membership) == 0;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            state_ = ok ? 1 : -1;
        }
        changed_.notify_all();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (ok && !stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            uint8_t buffer[512];
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                                 &length);
            if (n < 0)
                continue;
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            Heard heard{Bytes(buffer, buffer + n), text};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                heard_.push_back(heard);
            }
            answer_(fd, heard, from);
        }
        if (fd >= 0)
            close(fd);
    }

    Answer answer_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int state_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<Heard> heard_;
};

void sendTo(int fd, const Bytes& bytes, uint32_t address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    to.sin_port = htons(port);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// A module: answers every discovery request with `replies`, in order, to port 9889.
std::unique_ptr<FarSide> module(std::vector<std::string> joinOn, std::vector<Bytes> replies) {
    return std::make_unique<FarSide>(
        9888, "232.2.2.2", std::move(joinOn),
        [replies](int fd, const Heard&, const sockaddr_in& from) {
            for (const Bytes& reply : replies)
                sendTo(fd, reply, from.sin_addr.s_addr, 9889);
        });
}

std::string dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

const Bytes kRequest = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST(TcpipDiscovery, ReportsEveryReplyWithItsSender) {
    auto far = module({"192.0.2.2"}, {moduleReply(6, 8080, 0x40F5849A, 13)});
    ASSERT_TRUE(far->ready());
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &collected, 0), 1);
    ASSERT_EQ(collected.specs.size(), 1u);
    const linkSpec& spec = collected.specs[0];
    EXPECT_EQ(spec.type, TCPIP);
    EXPECT_EQ(spec.serialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.module, 6u);
    EXPECT_EQ(spec.router, 6u);
    EXPECT_EQ(spec.routerSerialNumber, 0x40F5849Au);
    EXPECT_EQ(spec.model, 13u);
    EXPECT_EQ(dotted(spec.ip.ipAddress), "192.0.2.2");
    EXPECT_EQ(spec.ip.ipPort, 8080u);
    for (size_t i = 8; i < sizeof spec.transport; ++i)
        EXPECT_EQ(spec.transport[i], 0) << i;

    // One request per interface, sent from the interface's own address: only the joined one
    // reached the module.
    std::vector<Heard> heard = far->heard();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].bytes, kRequest);
    EXPECT_EQ(heard[0].from, "192.0.2.1");
}

TEST(TcpipDiscovery, ModuleOnTwoInterfacesIsReportedTwice) {
    auto far = module({"192.0.2.2", "198.51.100.2"}, {moduleReply(2, 9000, 0x1234ABCD, 5)});
    ASSERT_TRUE(far->ready());
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &collected, 0), 2);
    std::set<std::string> senders;
    for (const linkSpec& spec : collected.specs) {
        EXPECT_EQ(spec.serialNumber, 0x1234ABCDu);
        senders.insert(dotted(spec.ip.ipAddress));
    }
    EXPECT_EQ(senders, (std::set<std::string>{"192.0.2.2", "198.51.100.2"}));
    std::set<std::string> requesters;
    for (const Heard& heard : far->heard())
        requesters.insert(heard.from);
    EXPECT_EQ(requesters, (std::set<std::string>{"192.0.2.1", "198.51.100.1"}));
}

TEST(TcpipDiscovery, ShortRepliesAndJunk) {
    Bytes twelve = moduleReply(8, 0x1122, 0xCAFE0001, 20);
    twelve.resize(12); // no model byte: model 255
    Bytes five = moduleReply(10, 0x3344, 0xCAFE0002, 21);
    five.resize(5); // no complete serial number: skipped
    Bytes full = moduleReply(12, 0x5566, 0xCAFE0003, 22);
    auto far = module({"192.0.2.2"}, {full, five, twelve});
    ASSERT_TRUE(far->ready());
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &collected, 0), 2);
    ASSERT_EQ(collected.specs.size(), 2u);
    EXPECT_EQ(collected.specs[0].serialNumber, 0xCAFE0003u);
    EXPECT_EQ(collected.specs[0].model, 22u);
    EXPECT_EQ(collected.specs[1].serialNumber, 0xCAFE0001u);
    EXPECT_EQ(collected.specs[1].module, 8u);
    EXPECT_EQ(collected.specs[1].ip.ipPort, 0x1122u);
    EXPECT_EQ(collected.specs[1].model, 255u);
}

TEST(TcpipDiscovery, CallbackEndsTheSearchAtOnce) {
    auto far = module({"192.0.2.2"}, {moduleReply(2, 1, 0xA1, 4), moduleReply(4, 2, 0xA2, 4)});
    ASSERT_TRUE(far->ready());
    Collected collected;
    collected.stopAtFirst = true;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &collected, 0), 1);
    EXPECT_EQ(collected.calls, 1);
}

TEST(TcpipDiscovery, FindModuleAndFindFirstModule) {
    auto far = module({"192.0.2.2"},
                      {moduleReply(2, 7000, 0, 4), moduleReply(4, 7001, 0xBEEF0001, 13),
                       moduleReply(6, 7002, 0xBEEF0002, 14)});
    ASSERT_TRUE(far->ready());

    linkSpec* spec = aDiscovery_FindModule(TCPIP, 0xBEEF0002, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, TCPIP);
    EXPECT_EQ(spec->module, 6u);
    EXPECT_EQ(spec->ip.ipPort, 7002u);
    EXPECT_EQ(dotted(spec->ip.ipAddress), "192.0.2.2");
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);

    spec = aDiscovery_FindFirstModule(TCPIP, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0xBEEF0001u); // the one with serial number 0 is passed over
    EXPECT_EQ(spec->ip.ipPort, 7001u);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);

    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x0BADF00D, 0), nullptr);
}

TEST(TcpipDiscovery, ListenerPortTakenStillSendsButReportsNothing) {
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(9889);
    ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    auto far = module({"192.0.2.2"}, {moduleReply(2, 1, 0xA1, 4)});
    ASSERT_TRUE(far->ready());
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, collect, &collected, 0), 0);
    EXPECT_EQ(collected.calls, 0);
    // The request still went out.
    for (int i = 0; i < 100 && far->heard().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(far->heard().size(), 1u);
    close(holder);
}

// A shared-device server on the far side: answers each searcher publication it hears with a
// 20-byte payload (the shape of another searcher's) and its specifiers, broadcast on port 8585.
std::unique_ptr<FarSide> beaconServer(std::vector<Bytes> payloads) {
    return std::make_unique<FarSide>(
        8585, nullptr, std::vector<std::string>{},
        [payloads](int fd, const Heard& heard, const sockaddr_in&) {
            if (heard.bytes != Bytes{'K', 'o', 'r', 'v', 'e', 'l', '2', '-', 'D', 'i', 's', 'c',
                                     'o', 'v', 'e', 'r', 'y'})
                return;
            for (const Bytes& payload : payloads)
                sendTo(fd, payload, ipv4("192.0.2.255"), 8585);
        });
}

TEST(BeaconDiscovery, FindsServersOnTheChosenInterfaceOncePerSerial) {
    Bytes junk(20, 'x');
    auto far = beaconServer({junk, serverSpec(0x5E000001, 13, "192.0.2.2", 40001),
                             serverSpec(0x5E000002, 14, "192.0.2.2", 40002)});
    ASSERT_TRUE(far->ready());
    std::string before = zBeaconInterface_get();

    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(CLIENT, collect, &collected, ipv4("192.0.2.1")), 2);
    ASSERT_EQ(collected.specs.size(), 2u);
    std::set<uint32_t> serials;
    for (const linkSpec& spec : collected.specs) {
        serials.insert(spec.serialNumber);
        EXPECT_EQ(spec.type, CLIENT);
        EXPECT_EQ(dotted(spec.ip.ipAddress), "192.0.2.2");
    }
    EXPECT_EQ(serials, (std::set<uint32_t>{0x5E000001, 0x5E000002}));
    // The searcher was heard, more than once (it publishes every 100 ms), and it answered
    // several publications; still every server came once.
    EXPECT_GE(far->heard().size(), 2u);

    // The interface is back to what it was and the lock is free again.
    EXPECT_EQ(std::string(zBeaconInterface_get()), before);
    std::thread other([] {
        EXPECT_TRUE(zBeaconInterface_setAndLock("*"));
        zBeaconInterface_unlock();
    });
    other.join();
}

TEST(BeaconDiscovery, StopsWhenTheCallbackSaysSo) {
    auto far = beaconServer({serverSpec(0x5E000003, 13, "192.0.2.2", 40003),
                             serverSpec(0x5E000004, 13, "192.0.2.2", 40004)});
    ASSERT_TRUE(far->ready());
    Collected collected;
    collected.stopAtFirst = true;
    EXPECT_EQ(aDiscovery_EnumerateModules(CLIENT, collect, &collected, ipv4("192.0.2.1")), 1);
    EXPECT_EQ(collected.calls, 1);
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!netns::enterPrivateHost()) {
        printf("skipped: network namespaces cannot be made here\n");
        return 77;
    }
    netns::ModuleSide side;
    if (!side.create(kLinks)) {
        printf("the veth links could not be set up\n");
        return 1;
    }
    gModuleSide = &side;
    return RUN_ALL_TESTS();
}
