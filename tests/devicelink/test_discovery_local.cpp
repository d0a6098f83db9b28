// Link specifiers, interface helpers, multicast sockets, the beacon-interface lock, and
// discovery of shared-device servers on this host against servers written from the wire table.
// Runs in a private network namespace where one can be made (so that no other program's ports
// get in the way), else on the host's loopback interface.
#include "DiscoveryTestSupport.h"
#include "NetworkNamespaces.h"
#include "TestProcess.h"
#include "aMulticast.h"
#include "discover.h"
#include "zBeaconInterface.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace discoverytest;

std::string gSelf; // this test program, for the probes it runs of itself

// ---- linkSpec -----------------------------------------------------------------------------

TEST(LinkSpec, CreateCopyDestroy) {
    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(spec, nullptr);
    const auto* bytes = reinterpret_cast<const uint8_t*>(spec);
    EXPECT_EQ(spec->type, SERIAL);
    for (size_t i = 4; i < sizeof(linkSpec); ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    spec->serialNumber = 0x01020304;
    strcpy(spec->serial.portName, "/dev/ttyS7");
    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

TEST(LinkSpec, WireFormByType) {
    linkSpec tcp{};
    tcp.type = CLIENT;
    tcp.serialNumber = 0x40F5849A;
    tcp.module = 6;
    tcp.router = 2;
    tcp.routerSerialNumber = 0x11223344;
    tcp.model = 13;
    tcp.ip.ipAddress = ipv4("127.0.0.1");
    tcp.ip.ipPort = 9851;
    Bytes expected(128, 0);
    put32(expected, 0, 4);
    put32(expected, 4, 0x40F5849A);
    put32(expected, 8, 6);
    put32(expected, 12, 2);
    put32(expected, 16, 0x11223344);
    put32(expected, 20, 13);
    expected[24] = 0x7F, expected[25] = 0, expected[26] = 0, expected[27] = 1;
    put32(expected, 28, 9851);

    linkSpec serial{};
    serial.type = SERIAL;
    serial.serialNumber = 0xAABBCCDD;
    serial.serial.baudRate = 115200;
    strcpy(serial.serial.portName, "/dev/ttyUSB0");
    Bytes expectedSerial(128, 0);
    put32(expectedSerial, 0, 3);
    put32(expectedSerial, 4, 0xAABBCCDD);
    put32(expectedSerial, 24, 115200);
    memcpy(&expectedSerial[28], "/dev/ttyUSB0", 12);

    struct Case {
        const linkSpec* spec;
        const Bytes* wire;
    } cases[] = {{&tcp, &expected}, {&serial, &expectedSerial}};
    for (const Case& c : cases) {
        uint8_t wire[128];
        ASSERT_EQ(aLinkSpec_Pack(c.spec, wire), aErrNone);
        EXPECT_EQ(Bytes(wire, wire + 128), *c.wire) << c.spec->type;
        linkSpec back;
        ASSERT_EQ(aLinkSpec_Unpack(wire, sizeof wire, &back), aErrNone);
        EXPECT_EQ(memcmp(&back, c.spec, sizeof(linkSpec)), 0) << c.spec->type;
    }
}

TEST(LinkSpec, UnpackRefusesBadInput) {
    Bytes wire(129, 0x41);
    put32(wire, 0, SERIAL);
    linkSpec spec;
    memset(&spec, 0x55, sizeof spec);
    EXPECT_EQ(aLinkSpec_Unpack(wire.data(), 127, &spec), aErrSize);
    EXPECT_EQ(spec.type, INVALID); // cleared
    EXPECT_EQ(aLinkSpec_Unpack(wire.data(), 129, &spec), aErrSize);
    EXPECT_EQ(aLinkSpec_Unpack(nullptr, 128, &spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Unpack(wire.data(), 128, nullptr), aErrParam);
    EXPECT_EQ(aLinkSpec_Pack(nullptr, wire.data()), aErrParam);
    // A port name without its terminating zero is cut, never read past.
    ASSERT_EQ(aLinkSpec_Unpack(wire.data(), 128, &spec), aErrNone);
    EXPECT_EQ(strlen(spec.serial.portName), 99u);
}

bool countCalls(const linkSpec*, bool* found, void* context) {
    ++*static_cast<int*>(context);
    *found = true;
    return true;
}

TEST(Discovery, TypesWithoutDiscoveryCallNothing) {
    for (uint32_t type : {uint32_t(INVALID), uint32_t(SERIAL), 5u, 0xFFFFFFFFu}) {
        int calls = 0;
        EXPECT_EQ(aDiscovery_EnumerateModules(linkType(type), countCalls, &calls, 0), 0);
        EXPECT_EQ(calls, 0) << type;
        EXPECT_EQ(aDiscovery_FindFirstModule(linkType(type), 0), nullptr);
    }
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, nullptr, nullptr, 0), 0);
}

TEST(Discovery, InterfaceHelpers) {
    char text[16];
    memset(text, 'z', sizeof text);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("192.0.2.10"), text, 16), 10);
    EXPECT_STREQ(text, "192.0.2.10");
    for (size_t i = 10; i < sizeof text; ++i)
        EXPECT_EQ(text[i], 0) << i; // zero-filled
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("255.255.255.255"), text, 16), 15);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("1.2.3.4"), text, 15), 0);
    EXPECT_EQ(aDiscovery_ConvertIPv4Interface(ipv4("1.2.3.4"), nullptr, 16), 0);

    uint32_t list[50];
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(nullptr, 50), 0);
    EXPECT_EQ(aDiscovery_GetIPv4Interfaces(list, 0), 0);
    int count = aDiscovery_GetIPv4Interfaces(list, 50);
    EXPECT_GE(count, 0);
    for (int i = 0; i < count; ++i)
        EXPECT_NE(list[i], ipv4("127.0.0.1")); // loopback is not a network interface
}

// ---- Multicast sockets --------------------------------------------------------------------

const uint32_t kLoopback = ipv4("127.0.0.1");
const uint32_t kGroup = ipv4("224.0.0.7");

TEST(Multicast, SenderToReceiverAndTheModeRules) {
    aMulticastRef receiver = aMulticast_Create(0, kGroup, 9898, aMULTICAST_RECEIVER);
    ASSERT_NE(receiver, nullptr);
    // Address reuse is off: a second receiver on the port is refused.
    EXPECT_EQ(aMulticast_Create(kLoopback, kGroup, 9898, aMULTICAST_RECEIVER), nullptr);
    aMulticastRef sender = aMulticast_Create(kLoopback, kGroup, 9898, aMULTICAST_SENDER);
    ASSERT_NE(sender, nullptr);

    EXPECT_EQ(aMulticast_Send(sender, "hello", 5), 5);
    char buffer[16] = {};
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "hello");

    EXPECT_EQ(aMulticast_Send(receiver, "x", 1), aMULTICAST_WRONG_MODE);
    EXPECT_EQ(aMulticast_Receive(sender, buffer, sizeof buffer), aMULTICAST_WRONG_MODE);
    EXPECT_EQ(aMulticast_Send(nullptr, "x", 1), aMULTICAST_NO_HANDLE);
    EXPECT_EQ(aMulticast_Receive(nullptr, buffer, 1), aMULTICAST_NO_HANDLE);
    EXPECT_EQ(aMulticast_Receive(receiver, nullptr, 1), aMULTICAST_FAILED);
    EXPECT_EQ(aMulticast_Create(0, kGroup, 70000, aMULTICAST_RECEIVER), nullptr);
    EXPECT_EQ(aMulticast_Create(0, kGroup, 9898, 2), nullptr);

    // Nothing sent: the receive times out (after 1 s).
    EXPECT_EQ(aMulticast_Receive(receiver, buffer, sizeof buffer), aMULTICAST_FAILED);

    EXPECT_EQ(aMulticast_Destroy(&sender), 0);
    EXPECT_EQ(sender, nullptr);
    EXPECT_EQ(aMulticast_Destroy(&sender), aMULTICAST_NO_HANDLE);
    EXPECT_EQ(aMulticast_Destroy(nullptr), aMULTICAST_NO_HANDLE);
    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
    // The port is free again.
    receiver = aMulticast_Create(0, kGroup, 9898, aMULTICAST_RECEIVER);
    EXPECT_NE(receiver, nullptr);
    EXPECT_EQ(aMulticast_Destroy(&receiver), 0);
}

// ---- Beacon-interface lock ----------------------------------------------------------------

// True when another thread can take the lock now (it then releases it again).
bool lockIsFree() {
    std::atomic<bool> taken{false};
    std::thread other([&] {
        taken = zBeaconInterface_getAndLock() != nullptr;
        if (taken)
            zBeaconInterface_unlock();
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!taken && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    bool free = taken;
    if (!free) {
        // Still waiting for the lock: let it through so the thread can end.
        zBeaconInterface_unlock();
    }
    other.join();
    return free;
}

TEST(BeaconInterface, ValidTextsTakeTheLockOthersDoNot) {
    std::string before = zBeaconInterface_get();
    for (const char* bad : {"eth0", "10.0.0", "10.0.0.256", "lo"}) {
        EXPECT_FALSE(zBeaconInterface_setAndLock(bad)) << bad;
        EXPECT_FALSE(zBeaconInterface_backupSetAndLock(bad)) << bad;
    }
    EXPECT_FALSE(zBeaconInterface_setAndLock(nullptr));
    EXPECT_EQ(std::string(zBeaconInterface_get()), before);
    EXPECT_TRUE(lockIsFree());

    for (const char* good : {"*", "", "192.0.2.77"}) {
        ASSERT_TRUE(zBeaconInterface_setAndLock(good)) << good;
        EXPECT_STREQ(zBeaconInterface_get(), good);
        EXPECT_FALSE(zBeaconInterface_setAndLock("*")) << "not recursive";
        zBeaconInterface_unlock();
        EXPECT_TRUE(lockIsFree()) << good;
    }
    ASSERT_TRUE(zBeaconInterface_setAndLock(before.c_str()));
    zBeaconInterface_unlock();
}

TEST(BeaconInterface, BackupAndRestore) {
    ASSERT_TRUE(zBeaconInterface_setAndLock("192.0.2.1"));
    zBeaconInterface_unlock();

    ASSERT_TRUE(zBeaconInterface_backupSetAndLock("10.0.0.5"));
    EXPECT_STREQ(zBeaconInterface_get(), "10.0.0.5");
    EXPECT_STREQ(zBeaconInterface_getBackup(), "192.0.2.1");
    // Only the holder can release it.
    std::thread stray([] {
        zBeaconInterface_unlock();
        zBeaconInterface_restoreAndUnlock();
    });
    stray.join();
    EXPECT_STREQ(zBeaconInterface_get(), "10.0.0.5");
    zBeaconInterface_restoreAndUnlock();
    EXPECT_STREQ(zBeaconInterface_get(), "192.0.2.1");
    EXPECT_TRUE(lockIsFree());

    const char* current = zBeaconInterface_getAndLock();
    ASSERT_NE(current, nullptr);
    EXPECT_STREQ(current, "192.0.2.1");
    EXPECT_EQ(zBeaconInterface_getBackupAndLock(), nullptr); // would lock twice
    zBeaconInterface_unlock();
    const char* backup = zBeaconInterface_getBackupAndLock();
    ASSERT_NE(backup, nullptr);
    EXPECT_STREQ(backup, "192.0.2.1");
    zBeaconInterface_unlock();
    EXPECT_TRUE(lockIsFree());
}

// The probe (main with --ctrl-c-probe) uses czmq through the library, then raises SIGINT: it
// must end by the signal, as it would without czmq.
TEST(BeaconInterface, CtrlCStillEndsTheProcessAfterCzmqIsUsed) {
    ProcessResult result = runProcess(gSelf, {"--ctrl-c-probe"});
    EXPECT_EQ(result.status, 128 + SIGINT) << result.out << result.err;
}

// ---- Shared-device servers on this host ---------------------------------------------------

// A server's discovery answerer for port offset n, written from the wire table: listens on
// 224.0.0.7 port 9850 + n on the loopback interface and answers the 4-byte request with its
// reply to port 9950 + n. Stops when destroyed, in any case after 20 s.
class LocalServer {
public:
    LocalServer(int n, Bytes reply) : n_(n), reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(uint16_t(9850 + n));
        ip_mreq membership{};
        membership.imr_multiaddr.s_addr = kGroup;
        membership.imr_interface.s_addr = kLoopback;
        in_addr loopback{};
        loopback.s_addr = kLoopback;
        ready_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
                 setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership,
                            sizeof membership) == 0 &&
                 setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) == 0;
        if (ready_)
            thread_ = std::thread([this] { loop(); });
    }
    ~LocalServer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
    }
    bool ready() const { return ready_; }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void loop() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            uint8_t buffer[64];
            ssize_t length = recv(fd_, buffer, sizeof buffer, 0);
            if (length < 0)
                continue;
            Bytes request(buffer, buffer + length);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            if (request != Bytes{0xBA, 0xDC, 0xCD, 0xAB})
                continue;
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = kGroup;
            to.sin_port = htons(uint16_t(9950 + n_));
            sendto(fd_, reply_.data(), reply_.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to);
        }
    }

    int n_;
    Bytes reply_;
    int fd_ = -1;
    bool ready_ = false;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> requests_;
};

TEST(LocalServerDiscovery, NoServerNoCallback) {
    int calls = 0;
    EXPECT_EQ(aDiscovery_Enumerate_VeluneModules(countCalls, &calls, 0), 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(CLIENT, countCalls, &calls, kLoopback), 0);
    EXPECT_EQ(calls, 0);
}

TEST(LocalServerDiscovery, ServerOnThirdPortIsAskedAndAnswersToItsReplyPort) {
    LocalServer server(2, serverSpec(0x40F5849A, 13, "127.0.0.1", 45678));
    ASSERT_TRUE(server.ready());
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(CLIENT, collect, &collected, 0), 1);
    ASSERT_EQ(collected.specs.size(), 1u);
    EXPECT_EQ(collected.specs[0].type, CLIENT);
    EXPECT_EQ(collected.specs[0].serialNumber, 0x40F5849Au);
    EXPECT_EQ(collected.specs[0].model, 13u);
    EXPECT_EQ(collected.specs[0].ip.ipAddress, kLoopback);
    EXPECT_EQ(collected.specs[0].ip.ipPort, 45678u);
    EXPECT_EQ(server.requests(), (std::vector<Bytes>{{0xBA, 0xDC, 0xCD, 0xAB}}));
}

TEST(LocalServerDiscovery, RepliesThatDoNotCount) {
    Bytes longer = serverSpec(0x0C, 13, "127.0.0.1", 3);
    longer.push_back(0);
    Bytes shorter = serverSpec(0x0D, 13, "127.0.0.1", 4);
    shorter.pop_back();
    std::vector<std::unique_ptr<LocalServer>> servers;
    servers.push_back(std::make_unique<LocalServer>(0, serverSpec(0x0A, 13, "127.0.0.1", 1)));
    servers.push_back(std::make_unique<LocalServer>(1, serverSpec(0x0A, 13, "127.0.0.1", 2)));
    servers.push_back(std::make_unique<LocalServer>(3, serverSpec(0x0B, 13, "192.0.2.9", 5)));
    servers.push_back(std::make_unique<LocalServer>(4, longer));
    servers.push_back(std::make_unique<LocalServer>(5, shorter));
    servers.push_back(std::make_unique<LocalServer>(7, serverSpec(0x0E, 13, "127.0.0.1", 6)));
    for (auto& server : servers)
        ASSERT_TRUE(server->ready());
    Collected collected;
    EXPECT_EQ(aDiscovery_EnumerateModules(CLIENT, collect, &collected, 0), 2);
    ASSERT_EQ(collected.specs.size(), 2u);
    EXPECT_EQ(collected.specs[0].serialNumber, 0x0Au); // the duplicate from port 9851 is dropped
    EXPECT_EQ(collected.specs[0].ip.ipPort, 1u);
    EXPECT_EQ(collected.specs[1].serialNumber, 0x0Eu);
    for (auto& server : servers)
        EXPECT_EQ(server->requests().size(), 1u);
}

TEST(LocalServerDiscovery, CallbackEndsTheSearch) {
    LocalServer first(0, serverSpec(0x21, 13, "127.0.0.1", 1));
    LocalServer second(1, serverSpec(0x22, 13, "127.0.0.1", 2));
    ASSERT_TRUE(first.ready() && second.ready());
    Collected collected;
    collected.stopAtFirst = true;
    EXPECT_EQ(aDiscovery_EnumerateModules(CLIENT, collect, &collected, 0), 1);
    EXPECT_EQ(collected.specs.size(), 1u);
    EXPECT_TRUE(second.requests().empty()); // never asked

    linkSpec* spec = aDiscovery_FindModule(CLIENT, 0x22, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->ip.ipPort, 2u);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--ctrl-c-probe") == 0) {
        if (zBeaconInterface_setAndLock("*"))
            zBeaconInterface_unlock();
        raise(SIGINT);
        printf("survived SIGINT\n");
        return 0;
    }
    gSelf = argv[0];
    ::testing::InitGoogleTest(&argc, argv);
    if (!netns::enterPrivateHost())
        printf("note: no private network namespace, using the host's loopback interface\n");
    return RUN_ALL_TESTS();
}
