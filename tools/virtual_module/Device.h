// The device logic of one virtual module: its entities and what it answers to each host packet.
//
// A Device is transport-free: handle() takes the data bytes of one packet addressed to it and
// appends the data bytes of its replies (each at most 28). Network (Network.h) puts devices on
// a link. What it answers:
//   UEI entities   system entity (command 3, index 0) with the whole option table, and an
//                  analog entity class (command kAnalogCommand) with 8-, 16- and 32-bit options,
//                  subindexed options and a call, to exercise every request form; settable
//                  values remember; byte strings travel in sequenced packets of 24 bytes.
//   73             module information: build, presence of a UEI, class and subclass quantities,
//                  entity groups
//   8              I2C entity 0 on the bus the network gives it (writes, reads, pull-up)
//   4              data slots: stores of slots, opened by handle, 25 bytes per chunk
//   94             factory data records, 26 bytes per piece
//   93             stream subscriptions; samples() makes the samples of the subscribed values
//   23             echo
// Requests to options a device lacks get an error reply with aErrInvalidOption; failOption
// makes any option (or slot / factory sub-code) answer with a chosen error on demand.
//
// Threads: every public function may be called from any thread (one lock per device).
#ifndef KORVEL_VM_DEVICE_H
#define KORVEL_VM_DEVICE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vmod {

// Result codes as modules report them in error replies.
namespace err {
constexpr uint8_t None = 0;
constexpr uint8_t Param = 2;
constexpr uint8_t NotFound = 3;
constexpr uint8_t Busy = 5;
constexpr uint8_t IO = 6;
constexpr uint8_t Mode = 7;
constexpr uint8_t EndOfFile = 10;
constexpr uint8_t NotReady = 11;
constexpr uint8_t Size = 14;
constexpr uint8_t Overrun = 15;
constexpr uint8_t Packet = 24;
constexpr uint8_t IndexRange = 26;
constexpr uint8_t InvalidEntity = 28;
constexpr uint8_t InvalidOption = 29;
} // namespace err

constexpr uint8_t kSystemCommand = 3;
constexpr uint8_t kSlotCommand = 4;
constexpr uint8_t kI2CCommand = 8;
constexpr uint8_t kAnalogCommand = 30;
constexpr uint8_t kInfoCommand = 73;
constexpr uint8_t kStreamCommand = 93;
constexpr uint8_t kFactoryCommand = 94;

// Options of the analog entity.
namespace analog {
constexpr uint8_t Mode = 1;        // 8-bit, set/get
constexpr uint8_t Range = 2;       // 16-bit, set/get
constexpr uint8_t Reading = 3;     // 32-bit, get
constexpr uint8_t Gain = 4;        // 8-bit per channel (subindex), set/get
constexpr uint8_t Offset = 5;      // 16-bit per channel, set/get
constexpr uint8_t Calibration = 6; // 32-bit per channel, set/get
constexpr uint8_t Zero = 7;        // call
constexpr uint8_t Channels = 4;    // subindexes 0..3
} // namespace analog

struct DeviceConfig {
    uint8_t address = 4;
    uint32_t serialNumber = 0x1234ABCD;
    uint8_t model = 13;
    uint32_t version = 0x2F020A04; // 2.10.4 in the current layout
    uint32_t build = 4711;
    uint32_t hardwareVersion = 0x00030001;
    uint8_t router = 0;            // address of the routing module; 0: this module's own
    std::string name = "virtual module";
    uint8_t analogEntities = 2;
    uint8_t slotStores = 2;
    uint8_t slotsPerStore = 4;
    uint16_t slotCapacity = 512;
    size_t factoryCapacity = 256;
};

// The I2C bus a device's I2C entity drives (the module network behind a routing module).
struct Bus {
    // Whether a module listens at the 8-bit bus address (even); the written bytes go to it.
    std::function<bool(uint8_t address, const std::vector<uint8_t>& bytes)> write;
    // Whether a module listens there; fills `bytes` with `count` bytes read from it.
    std::function<bool(uint8_t address, size_t count, std::vector<uint8_t>& bytes)> read;
};

class Device {
public:
    using Packet = std::vector<uint8_t>;

    explicit Device(DeviceConfig config);
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    uint8_t address() const { return config_.address; }
    uint32_t serialNumber() const { return config_.serialNumber; }

    void handle(const Packet& request, std::vector<Packet>& replies);
    void setBus(Bus bus);

    // ---- Test switches ----
    // The module lacks the option (requests get aErrInvalidOption).
    void removeOption(uint8_t command, uint8_t option);
    // Requests to (command, option) answer with `error` (0 restores normal answers). For data
    // slots and factory data the option is the sub-code (slots 1-8; factory 0x10 write, 0x40
    // read, 0x20 close).
    void failOption(uint8_t command, uint8_t option, uint8_t error);

    // ---- State ----
    uint32_t value(uint8_t command, uint8_t index, uint8_t option, uint8_t subindex = 0) const;
    void setValue(uint8_t command, uint8_t index, uint8_t option, uint32_t value, uint8_t subindex = 0);
    std::vector<uint8_t> bytes(uint8_t command, uint8_t index, uint8_t option) const;
    void setBytes(uint8_t command, uint8_t index, uint8_t option, const std::vector<uint8_t>& bytes);
    uint32_t calls(uint8_t command, uint8_t index, uint8_t option) const;

    std::vector<uint8_t> slot(uint8_t store, uint8_t slot) const;
    void setSlot(uint8_t store, uint8_t slot, const std::vector<uint8_t>& bytes);
    std::vector<size_t> slotWriteChunks() const; // bytes per write request, in order
    std::vector<size_t> slotReadChunks() const;  // bytes per read reply, in order
    std::vector<uint8_t> factoryRecord(uint8_t type) const;
    void setFactoryRecord(uint8_t type, const std::vector<uint8_t>& bytes);
    std::vector<size_t> factoryPieces() const;   // bytes per piece, both directions, in order
    void clearChunkRecords();

    // This device as a listener on a bus: bytes written to it, bytes read from it (the last
    // bytes written, then zeros).
    void busWrite(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> busRead(size_t count) const;
    std::vector<uint8_t> i2cReceived() const;    // bytes last written to this device over a bus
    uint8_t i2cSpeed() const;                    // speed code of the last I2C request
    bool pullup() const;

    // ---- Streams ----
    bool streaming() const;
    // Subscriptions as (command, option, index), 0xFF for any.
    std::set<uint32_t> subscriptions() const;
    // The sample packets of every subscribed value now, time-stamped `timestamp`.
    std::vector<Packet> samples(uint64_t timestamp) const;
    // Microseconds since the device started (the samples' clock).
    uint64_t clock() const;

private:
    enum class Kind : uint8_t { Call, U8, U16, U32, Bytes };
    struct Option {
        Kind kind = Kind::U8;
        bool get = false;
        bool set = false;
        uint8_t subindexes = 0; // 0: none
        size_t maxBytes = 0;
        std::vector<uint32_t> values, defaults;
        std::vector<uint8_t> bytes, defaultBytes;
        uint32_t calls = 0;
        std::vector<uint8_t> incoming; // a byte string being set
        uint8_t nextSequence = 0;
        bool receiving = false;
    };
    struct Entity {
        uint8_t group = 0;
        uint8_t subclasses = 0;
        std::map<uint8_t, Option> options;
    };
    struct SlotHandle {
        uint8_t store, slot;
        bool writing;
        size_t position;
    };
    struct FactoryTransfer {
        bool active = false;
        bool writing = false;
        uint8_t type = 0;
        size_t position = 0;
        std::vector<uint8_t> incoming;
    };
    using EntityKey = std::pair<uint8_t, uint8_t>; // command, index

    void build();
    static Option makeOption(Kind kind, bool get, bool set, uint32_t value = 0, uint8_t subindexes = 0);
    static size_t width(Kind kind);
    void restoreDefaults(Entity& entity);

    void handleUEI(const Packet& request, std::vector<Packet>& replies);
    void handleInfo(const Packet& request, std::vector<Packet>& replies);
    void handleI2C(const Packet& request, std::vector<Packet>& replies);
    void handleSlot(const Packet& request, std::vector<Packet>& replies);
    void handleFactory(const Packet& request, std::vector<Packet>& replies);
    void handleStream(const Packet& request, std::vector<Packet>& replies);
    void systemSideEffects(uint8_t option, Entity& entity);
    void refresh(uint8_t command, uint8_t option, Option& o);
    uint8_t hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const;
    uint8_t failure(uint8_t command, uint8_t option) const;
    std::vector<uint8_t>* slotData(uint8_t store, uint8_t slot);

    const DeviceConfig config_;
    const std::chrono::steady_clock::time_point start_;
    mutable std::mutex lock_;
    Bus bus_;
    std::map<EntityKey, Entity> entities_;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> failures_;
    std::map<std::pair<uint8_t, uint8_t>, std::vector<uint8_t>> slots_;
    std::map<uint8_t, SlotHandle> handles_;
    std::vector<size_t> slotWriteChunks_, slotReadChunks_;
    std::map<uint8_t, std::vector<uint8_t>> factory_;
    FactoryTransfer factoryTransfer_;
    uint8_t lastFactoryType_ = 0;
    std::vector<size_t> factoryPieces_;
    std::vector<uint8_t> i2cReceived_;
    uint8_t i2cSpeed_ = 0;
    bool pullup_ = false;
    std::set<uint32_t> subscriptions_;
};

} // namespace vmod

#endif
