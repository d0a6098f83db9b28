// A virtual Korvel module: the module side of the link protocol, independent of any transport.
//
// Wire format it speaks: every packet is an address byte, a length byte (0..28) and that many
// data bytes. The host sends
//   173 (0xAD), length 0       sync / address query: answered with [address, 0]
//   175 (0xAF), length 1       forced route on (1) or off (0): recorded, no answer
//   address, 2, 0, v+2         answer to a heartbeat [address, 2, 0, v] that the module sent
//   address, n, 23, ...        echo: answered with the same packet
// Every other packet goes to the device logic when one is set (setDeviceLogic; see Network.h for
// the full module and the routing module); what it does not take is recorded for inspection.
//
// Transports (TcpTransport, PtyTransport, UsbTransport) feed host bytes into receive() and
// deliver what the module emits through the sink they attach. One transport at a time.
//
// Threads: every public function may be called from any thread. The sink is called with the
// module's output lock held, one whole frame per call; it must not call back into the module.
#ifndef KORVEL_VIRTUAL_MODULE_H
#define KORVEL_VIRTUAL_MODULE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace vmod {

constexpr uint8_t kSyncAddress = 0xAD;
constexpr uint8_t kForceRouteAddress = 0xAF;
constexpr uint8_t kHeartbeatCommand = 0;
constexpr uint8_t kEchoCommand = 23;
constexpr size_t kMaxData = 28;

struct Config {
    uint8_t address = 4;              // even, non-zero
    uint32_t serialNumber = 0x1234ABCD;
    uint32_t heartbeatMs = 0;         // interval of the module's own heartbeats; 0: none
    uint32_t seed = 1;                // for garbage bytes
};

// One packet as the module saw it from the host.
struct Frame {
    uint8_t address = 0;
    std::vector<uint8_t> data;
    bool operator==(const Frame& o) const { return address == o.address && data == o.data; }
};

struct Stats {
    uint64_t bytesIn = 0;             // host bytes received
    uint64_t bytesOut = 0;            // bytes handed to the sink
    uint64_t framesIn = 0;            // complete host packets
    uint64_t framingErrors = 0;       // host length bytes above 28
    uint64_t syncQueries = 0;         // 173-packets received
    uint64_t syncReplies = 0;         // empty packets sent in answer
    uint64_t echoes = 0;              // echo packets answered
    uint64_t heartbeatsSent = 0;
    uint64_t heartbeatAnswersGood = 0; // answered with v + 2 of an outstanding heartbeat
    uint64_t heartbeatAnswersBad = 0;  // any other value
    int forcedRoute = -1;             // last forced-route value, -1 before any
    uint64_t forceRouteCount = 0;
    uint64_t dropped = 0;             // output bytes a transport could not deliver
};

class Module {
public:
    using Sink = std::function<void(const uint8_t* bytes, size_t count)>;
    // Takes a host packet that the link logic does not answer; returns false to leave it to the
    // frame record. Called on the transport's thread without the module's locks held, in the
    // order the packets arrived; it may send through sendPacket.
    using DeviceLogic = std::function<bool(const Frame& frame)>;

    explicit Module(Config config = {});
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const Config& config() const { return config_; }

    // Transport side.
    void attach(Sink sink);
    void detach();
    void receive(const uint8_t* bytes, size_t count);
    // A transport reports bytes it had to drop (full buffer, no host).
    void noteDropped(size_t count);

    // Installs (or, with an empty function, removes) the device logic.
    void setDeviceLogic(DeviceLogic logic);

    // Fault switches.
    void setSilent(bool silent);      // emit nothing at all (answers and heartbeats)
    bool silent() const;
    void sendGarbage(size_t count);   // random bytes, outside any frame
    void sendOddAddress();            // one empty packet from an odd address (address + 1)

    // Driving the module by hand.
    void sendHeartbeat(uint8_t value);             // [address, 2, 0, value]
    void sendPacket(uint8_t address, const std::vector<uint8_t>& data);
    void sendRaw(const std::vector<uint8_t>& bytes);
    // Changes the heartbeat interval (0 stops them); takes effect at once.
    void setHeartbeatInterval(uint32_t ms);

    // Observation.
    Stats stats() const;
    std::vector<Frame> frames() const;             // packets not handled above, oldest first
    void clearFrames();
    // Waits until pred(stats) holds or the time passes; returns whether it held.
    bool waitFor(const std::function<bool(const Stats&)>& pred, uint32_t timeoutMs) const;

private:
    // Each returns whether the bytes reached a sink (false: silent or no transport).
    bool emit(const uint8_t* bytes, size_t count);
    bool emitFrame(uint8_t address, const uint8_t* data, size_t length);
    void heartbeatLoop();

    const Config config_;

    mutable std::mutex outLock_; // sink, silence; held while the sink runs
    Sink sink_;
    bool silent_ = false;

    std::mutex logicLock_; // device logic; held while it runs, so removal waits for it
    DeviceLogic logic_;
    std::atomic<bool> hasLogic_{false};

    mutable std::mutex lock_; // parser, stats, frames, heartbeat state
    mutable std::condition_variable changed_;
    enum class Parse { Address, Length, Data } parse_ = Parse::Address;
    Frame current_;
    size_t expected_ = 0;
    Stats stats_;
    std::vector<Frame> frames_;
    std::deque<uint8_t> outstanding_; // heartbeat values sent and not yet answered
    uint8_t nextHeartbeat_ = 0;
    std::mt19937 random_;

    uint32_t heartbeatMs_;
    bool stopping_ = false;
    std::condition_variable heartbeatWake_;
    std::thread heartbeatThread_;
};

} // namespace vmod

#endif
