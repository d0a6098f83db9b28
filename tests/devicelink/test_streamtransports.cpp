// Socket, serial and kernel-driver-node streams against the virtual module, over loopback TCP
// and pseudo-terminals; and the virtual module's own side of the link protocol.
#include "Korvel-C.h"
#include "LinkBytes.h"
#include "PtyTransport.h"
#include "TcpTransport.h"
#include "TestProcess.h"
#include "VirtualModule.h"
#include "aStream.h"
#include "kvusb_driver.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr uint8_t kAddress = 4;
constexpr uint32_t kSerial = 0x1234ABCD;

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

vmod::Config quietModule() {
    vmod::Config c;
    c.address = kAddress;
    c.serialNumber = kSerial;
    c.heartbeatMs = 0;
    return c;
}

// Sends a sync query and expects the module's empty packet from its address.
void expectSyncReply(aStreamRef s) {
    const uint8_t query[2] = {0xAD, 0};
    ASSERT_EQ(aStream_Write(s, query, 2), aErrNone);
    std::vector<uint8_t> reply;
    ASSERT_EQ(readFor(s, reply, 2, 3000), aErrNone);
    EXPECT_EQ(reply, (std::vector<uint8_t>{kAddress, 0}));
}

void expectAllValuesEchoed(aStreamRef s) {
    std::vector<uint8_t> wire = echoFramesOfAllValues(kAddress);
    ASSERT_EQ(aStream_Write(s, wire.data(), wire.size()), aErrNone);
    std::vector<uint8_t> back;
    ASSERT_EQ(readFor(s, back, wire.size(), 3000), aErrNone);
    EXPECT_EQ(back, wire);
}

// ---- socket -----------------------------------------------------------------------------

class SocketStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(aStream_CreateSocket(loopback(), tcp.port(), &stream), aErrNone);
        ASSERT_NE(stream, nullptr);
        ASSERT_TRUE(waitUntil([&] { return tcp.connected(); }, 2000));
    }
    void TearDown() override {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }
    vmod::Module module{quietModule()};
    vmod::TcpTransport tcp{module};
    aStreamRef stream = nullptr;
};

TEST_F(SocketStream, SyncAndEveryByteValueBothWays) {
    expectSyncReply(stream);
    expectAllValuesEchoed(stream);
}

// Mended: an idle get waits for a byte (up to ~100 ms) instead of returning at once, so the
// link's receive thread sleeps while the module is silent.
TEST_F(SocketStream, IdleGetWaitsInsteadOfSpinning) {
    int calls = notReadyCallsWithin(stream, 400);
    EXPECT_GT(calls, 0);
    EXPECT_LE(calls, 10);
    // A byte that arrives during the wait is delivered.
    module.sendPacket(kAddress, {23, 1});
    std::vector<uint8_t> got;
    EXPECT_EQ(readFor(stream, got, 4, 2000), aErrNone);
    EXPECT_EQ(got, (std::vector<uint8_t>{kAddress, 2, 23, 1}));
}

TEST_F(SocketStream, PeerCloseReadsAsNotReadyAndAWriteReconnects) {
    tcp.closeConnection();
    ASSERT_TRUE(waitUntil([&] { return !tcp.connected(); }, 2000));
    EXPECT_LE(notReadyCallsWithin(stream, 300), 10) << "a closed peer must not make get spin";
    // The first send may still be taken by the closed connection; the failure that follows
    // reconnects inside the write loop.
    const uint8_t query[2] = {0xAD, 0};
    for (int i = 0; i < 20 && module.stats().syncQueries == 0; i++) {
        EXPECT_EQ(aStream_Write(stream, query, 2), aErrNone);
        module.waitFor([](const vmod::Stats& s) { return s.syncQueries > 0; }, 50);
    }
    EXPECT_EQ(tcp.connections(), 2u);
    std::vector<uint8_t> reply;
    EXPECT_EQ(readFor(stream, reply, 2, 2000), aErrNone);
    EXPECT_EQ(reply, (std::vector<uint8_t>{kAddress, 0}));
}

TEST_F(SocketStream, ResetConnectionIsReconnectedByTheGet) {
    tcp.resetConnection();
    for (int i = 0; i < 100 && tcp.connections() < 2; i++) {
        uint8_t b;
        EXPECT_EQ(aStream_Read(stream, &b, 1), aErrNotReady);
    }
    EXPECT_EQ(tcp.connections(), 2u);
    expectSyncReply(stream);
}

TEST(SocketStreamCreate, NothingListening) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = loopback();
    socklen_t len = sizeof sa;
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    close(probe); // the port is free and nobody listens on it
    aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateSocket(loopback(), ntohs(sa.sin_port), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSocket(loopback(), 1, nullptr), aErrResource);
}

// ---- serial port on a pseudo-terminal -------------------------------------------------------

class SerialStream : public ::testing::Test {
protected:
    TempDir dir;
    vmod::Module module{quietModule()};
    std::string link = dir.file("ttyKorvel");
    vmod::PtyTransport pty{module, vmod::PtyTransport::Kind::Serial, link};
};

TEST_F(SerialStream, SyncAndEveryByteValueBothWaysThenSettingsRestored) {
    int probe = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(probe, 0);
    termios before;
    ASSERT_EQ(tcgetattr(probe, &before), 0);

    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(link.c_str(), 6, false, 0, 0, &s), aErrNone);
    termios during;
    ASSERT_EQ(tcgetattr(probe, &during), 0);
    EXPECT_EQ(cfgetospeed(&during), B115200);
    EXPECT_EQ(during.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
    expectSyncReply(s);
    expectAllValuesEchoed(s);
    EXPECT_LE(notReadyCallsWithin(s, 300), 10) << "an idle serial get must wait, not spin";
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);

    termios after;
    ASSERT_EQ(tcgetattr(probe, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    close(probe);
}

TEST_F(SerialStream, LineSettingsOfTheCodes) {
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(link.c_str(), 0, true, 1, 1, &s), aErrNone);
    int probe = open(link.c_str(), O_RDWR | O_NOCTTY);
    termios t;
    ASSERT_EQ(tcgetattr(probe, &t), 0);
    // A pseudo-terminal keeps its character size at 8 bits and drops parity whatever it is
    // told, so those two are not visible here.
    EXPECT_EQ(cfgetispeed(&t), B2400);
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_iflag & IGNPAR, 0u);
    close(probe);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST_F(SerialStream, HangUpIsAnIOError) {
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(link.c_str(), 6, false, 0, 0, &s), aErrNone);
    pty.hangUp();
    EXPECT_EQ(firstReadOtherThanNotReady(s, 20), aErrIO);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStreamCreate, Refusals) {
    TempDir dir;
    std::string plain = dir.file("plain");
    writeFile(plain, "not a terminal");
    struct Case {
        const char* path;
        uint32_t baud, dataBits, stopBits;
        aErr expected;
    } cases[] = {
        {"/nonexistent/tty", 6, 0, 0, aErrNotFound},
        {plain.c_str(), 6, 0, 0, aErrIO},
        {nullptr, 6, 0, 0, aErrResource},
        {plain.c_str(), 6, 2, 0, aErrResource},
        {plain.c_str(), 6, 0, 2, aErrResource},
        {plain.c_str(), 8, 0, 0, aErrResource},
    };
    for (const auto& c : cases) {
        aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
        EXPECT_EQ(aStream_CreateSerial(c.path, c.baud, false, c.dataBits, c.stopBits, &s), c.expected)
            << (c.path ? c.path : "(null)") << " " << c.baud << c.dataBits << c.stopBits;
        EXPECT_EQ(s, nullptr);
    }
}

TEST(SerialStreamCreate, PortWithoutPermission) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root opens any port";
    TempDir dir;
    std::string locked = dir.file("locked");
    writeFile(locked, "");
    chmod(locked.c_str(), 0);
    aStreamRef s = nullptr;
    EXPECT_EQ(aStream_CreateSerial(locked.c_str(), 6, false, 0, 0, &s), aErrPermission);
}

// ---- the kernel-driver node on a pseudo-terminal ---------------------------------------------

class NodeStream : public ::testing::Test {
protected:
    void SetUp() override { setenv(kvusb_NODE_PREFIX_VARIABLE, prefix.c_str(), 1); }
    void TearDown() override { unsetenv(kvusb_NODE_PREFIX_VARIABLE); }
    TempDir dir;
    std::string prefix = dir.path() + "/korvel.";
    vmod::Module module{quietModule()};
    vmod::PtyTransport node{module, vmod::PtyTransport::Kind::Node,
                            vmod::PtyTransport::nodePath(prefix, kSerial)};
};

TEST_F(NodeStream, UsesTheNodeAndCarriesEveryByteValue) {
    EXPECT_TRUE(kvusb_is_kernel_driver_installed(kSerial));
    EXPECT_FALSE(kvusb_is_kernel_driver_installed(kSerial + 1));
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    EXPECT_EQ(Korvel_libusb_context(), nullptr) << "the node path never touches libusb";
    expectSyncReply(s);
    expectAllValuesEchoed(s);
    EXPECT_LE(notReadyCallsWithin(s, 300), 10);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST_F(NodeStream, SilentModuleAndHangUp) {
    aStreamRef s = nullptr;
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    module.setSilent(true);
    const uint8_t query[2] = {0xAD, 0};
    ASSERT_EQ(aStream_Write(s, query, 2), aErrNone);
    ASSERT_TRUE(module.waitFor([](const vmod::Stats& st) { return st.syncQueries == 1; }, 2000));
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(module.stats().syncReplies, 0u);

    node.hangUp();
    EXPECT_EQ(firstReadOtherThanNotReady(s, 20), aErrIO);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(USBStreamCreate, SerialZeroAndMissingOutput) {
    aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);
}

// ---- the virtual module's side of the protocol ---------------------------------------------

class VirtualModuleLink : public SocketStream {};

TEST_F(VirtualModuleLink, HeartbeatsAreCheckedForValuePlusTwo) {
    module.sendHeartbeat(0);
    module.sendHeartbeat(1);
    std::vector<uint8_t> got;
    ASSERT_EQ(readFor(stream, got, 8, 2000), aErrNone);
    EXPECT_EQ(got, (std::vector<uint8_t>{kAddress, 2, 0, 0, kAddress, 2, 0, 1}));
    const uint8_t answers[] = {kAddress, 2, 0, 3, kAddress, 2, 0, 2, kAddress, 2, 0, 2};
    ASSERT_EQ(aStream_Write(stream, answers, sizeof answers), aErrNone);
    ASSERT_TRUE(module.waitFor([](const vmod::Stats& s) { return s.heartbeatAnswersGood + s.heartbeatAnswersBad == 3; }, 2000));
    vmod::Stats s = module.stats();
    EXPECT_EQ(s.heartbeatAnswersGood, 2u);
    EXPECT_EQ(s.heartbeatAnswersBad, 1u) << "the third answers nothing outstanding";
}

TEST_F(VirtualModuleLink, OwnPaceHeartbeatsForcedRouteAndFaults) {
    module.setHeartbeatInterval(20);
    ASSERT_TRUE(module.waitFor([](const vmod::Stats& s) { return s.heartbeatsSent >= 3; }, 3000));
    module.setHeartbeatInterval(0);
    usleep(50000); // a heartbeat already on its way is counted before we look
    uint64_t sent = module.stats().heartbeatsSent;
    std::vector<uint8_t> got;
    ASSERT_EQ(readFor(stream, got, 4 * sent, 2000), aErrNone);
    for (size_t i = 0; i < sent; i++) {
        EXPECT_EQ(got[4 * i], kAddress);
        EXPECT_EQ(got[4 * i + 1], 2);
        EXPECT_EQ(got[4 * i + 2], 0);
        EXPECT_EQ(got[4 * i + 3], i % 2) << "up and down alternate";
    }

    const uint8_t route[] = {0xAF, 1, 1, 8, 3, 95, 1, 2};
    ASSERT_EQ(aStream_Write(stream, route, sizeof route), aErrNone);
    ASSERT_TRUE(module.waitFor([](const vmod::Stats& s) { return s.framesIn >= 2; }, 2000));
    EXPECT_EQ(module.stats().forcedRoute, 1);
    ASSERT_EQ(module.frames().size(), 1u);
    EXPECT_EQ(module.frames()[0], (vmod::Frame{8, {95, 1, 2}})) << "other packets are kept for inspection";

    module.sendOddAddress();
    module.sendGarbage(10);
    ASSERT_EQ(readFor(stream, got, 12, 2000), aErrNone);
    EXPECT_EQ(got[0], kAddress + 1);
    EXPECT_EQ(got[1], 0);
}

TEST(VirtualModuleProgram, ServesALinkOnTCP) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = loopback();
    socklen_t len = sizeof sa;
    bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(probe, reinterpret_cast<sockaddr*>(&sa), &len);
    close(probe);
    uint16_t port = ntohs(sa.sin_port);

    ProcessResult result;
    std::thread program([&] {
        result = runProcess(VIRTUAL_MODULE_EXE, {"--address", "6", "--heartbeat", "0", "--for", "1", "--tcp",
                                                 std::to_string(port)},
                            {{}, false, 10});
    });
    aStreamRef s = nullptr;
    for (int i = 0; i < 100 && aStream_CreateSocket(loopback(), port, &s) != aErrNone; i++)
        usleep(20000);
    ASSERT_NE(s, nullptr);
    const uint8_t query[2] = {0xAD, 0};
    EXPECT_EQ(aStream_Write(s, query, 2), aErrNone);
    std::vector<uint8_t> reply;
    EXPECT_EQ(readFor(s, reply, 2, 2000), aErrNone);
    EXPECT_EQ(reply, (std::vector<uint8_t>{6, 0}));
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    program.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("listening on 127.0.0.1:" + std::to_string(port)), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("sync 1 queries, 1 replies"), std::string::npos) << result.out;
}

} // namespace
