// Device: construction, dispatch, module information, I2C, echo and the state accessors. The
// entity values are in DeviceEntities.cpp, slots and factory data in DeviceStorage.cpp, streams
// in DeviceStreams.cpp.
#include "Device.h"

namespace vmod {

namespace {

constexpr uint8_t kEcho = 23;
constexpr uint8_t kI2CMaxTransfer = 23;   // bytes per I2C transfer (28 minus the header)
constexpr uint8_t kI2CPullupAddress = 1;  // the "address" of the pull-up switch
constexpr uint8_t kI2CStatusError = 0x80;

void putInt(std::vector<uint8_t>& p, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        p.push_back(static_cast<uint8_t>(v >> shift));
}

} // namespace

Device::Device(DeviceConfig config) : config_(std::move(config)), start_(std::chrono::steady_clock::now()) {
    build();
}

void Device::setBus(Bus bus) {
    std::lock_guard<std::mutex> hold(lock_);
    bus_ = std::move(bus);
}

void Device::handle(const Packet& request, std::vector<Packet>& replies) {
    if (request.empty())
        return;
    switch (request[0]) {
    case kEcho:
        replies.push_back(request);
        return;
    case kInfoCommand:
        handleInfo(request, replies);
        return;
    case kI2CCommand:
        handleI2C(request, replies);
        return;
    case kSlotCommand:
        handleSlot(request, replies);
        return;
    case kFactoryCommand:
        handleFactory(request, replies);
        return;
    case kStreamCommand:
        handleStream(request, replies);
        return;
    default:
        handleUEI(request, replies);
        return;
    }
}

// ---- Module information (73) ------------------------------------------------------------

uint8_t Device::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) const {
    if (flags != 0 && flags != 0x40 && flags != 0x80)
        return err::Param;
    auto e = entities_.find({command, index});
    if (e == entities_.end()) {
        for (const auto& [key, entity] : entities_) {
            if (key.first == command)
                return err::IndexRange;
        }
        return err::InvalidEntity;
    }
    auto o = e->second.options.find(option);
    if (o == e->second.options.end())
        return err::InvalidOption;
    if ((flags == 0x40 && !o->second.get) || (flags == 0x80 && !o->second.set))
        return err::InvalidOption;
    return err::None;
}

void Device::handleInfo(const Packet& r, std::vector<Packet>& replies) {
    std::lock_guard<std::mutex> hold(lock_);
    const uint8_t sub = r.size() > 1 ? r[1] : 0;
    auto error = [&](uint8_t code) { replies.push_back({kInfoCommand, static_cast<uint8_t>(sub | 0x80), code}); };
    if (uint8_t f = failure(kInfoCommand, sub)) {
        error(f);
        return;
    }
    switch (sub) {
    case 0xFF: {
        if (r.size() != 2)
            return error(err::Size);
        Packet p{kInfoCommand, 0xFF};
        putInt(p, config_.build);
        replies.push_back(p);
        return;
    }
    case 1:
        if (r.size() != 6)
            return error(err::Size);
        replies.push_back({kInfoCommand, 1, r[2], r[3], r[4], hasUEI(r[2], r[3], r[4], r[5])});
        return;
    case 4: {
        if (r.size() != 3)
            return error(err::Size);
        uint8_t count = 0;
        for (const auto& [key, entity] : entities_)
            count = static_cast<uint8_t>(count + (key.first == r[2]));
        replies.push_back({kInfoCommand, 4, r[2], count});
        return;
    }
    case 5:
    case 6: {
        if (r.size() != 4)
            return error(err::Size);
        auto e = entities_.find({r[2], r[3]});
        uint8_t v = 0;
        if (e != entities_.end())
            v = sub == 5 ? e->second.subclasses : e->second.group;
        replies.push_back({kInfoCommand, sub, r[2], r[3], v});
        return;
    }
    default:
        return error(err::InvalidOption);
    }
}

// ---- I2C (8) ----------------------------------------------------------------------------
// Request: 8, index, address, length, speed, data. Reply: 8, index, address, count read,
// status, data read. The pull-up switch: 8, index, 1, on -> 8, index, 1, on, status.

void Device::handleI2C(const Packet& r, std::vector<Packet>& replies) {
    Bus bus;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (r.size() < 4)
            return; // too short to answer in kind
        const uint8_t index = r[1], address = r[2];
        auto reply = [&](uint8_t count, uint8_t status) {
            replies.push_back({kI2CCommand, index, address, count, status});
        };
        if (uint8_t f = failure(kI2CCommand, 0)) {
            reply(0, static_cast<uint8_t>(kI2CStatusError | f));
            return;
        }
        if (index != 0) {
            reply(0, kI2CStatusError | err::IndexRange);
            return;
        }
        if (address == kI2CPullupAddress) {
            pullup_ = r[3] != 0;
            reply(r[3], 0);
            return;
        }
        if (r.size() < 5) {
            reply(0, kI2CStatusError | err::Size);
            return;
        }
        const uint8_t length = r[3];
        i2cSpeed_ = r[4];
        const bool read = (address & 1) != 0;
        if (length > kI2CMaxTransfer || (!read && r.size() != 5u + length)) {
            reply(0, kI2CStatusError | err::Size);
            return;
        }
        bus = bus_;
    }
    // The bus is driven without this device's lock: the listener is another device.
    const uint8_t index = r[1], address = r[2], length = r[3];
    std::vector<uint8_t> bytes;
    bool acknowledged = false;
    if (address & 1) {
        if (bus.read)
            acknowledged = bus.read(static_cast<uint8_t>(address & 0xFE), length, bytes);
    } else {
        if (bus.write)
            acknowledged = bus.write(address, std::vector<uint8_t>(r.begin() + 5, r.end()));
    }
    if (!acknowledged) {
        replies.push_back({kI2CCommand, index, address, 0, kI2CStatusError | err::NotFound});
        return;
    }
    bytes.resize(address & 1 ? length : 0);
    Packet p{kI2CCommand, index, address, static_cast<uint8_t>(bytes.size()), 0};
    p.insert(p.end(), bytes.begin(), bytes.end());
    replies.push_back(p);
}

void Device::busWrite(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    i2cReceived_ = bytes;
}

std::vector<uint8_t> Device::busRead(size_t count) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<uint8_t> bytes = i2cReceived_;
    bytes.resize(count, 0);
    return bytes;
}

std::vector<uint8_t> Device::i2cReceived() const {
    std::lock_guard<std::mutex> hold(lock_);
    return i2cReceived_;
}

uint8_t Device::i2cSpeed() const {
    std::lock_guard<std::mutex> hold(lock_);
    return i2cSpeed_;
}

bool Device::pullup() const {
    std::lock_guard<std::mutex> hold(lock_);
    return pullup_;
}

// ---- Switches and state -------------------------------------------------------------------

void Device::removeOption(uint8_t command, uint8_t option) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& [key, entity] : entities_) {
        if (key.first == command)
            entity.options.erase(option);
    }
}

void Device::failOption(uint8_t command, uint8_t option, uint8_t error) {
    std::lock_guard<std::mutex> hold(lock_);
    if (error == 0)
        failures_.erase({command, option});
    else
        failures_[{command, option}] = error;
}

uint8_t Device::failure(uint8_t command, uint8_t option) const {
    auto f = failures_.find({command, option});
    return f == failures_.end() ? 0 : f->second;
}

uint32_t Device::value(uint8_t command, uint8_t index, uint8_t option, uint8_t subindex) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto e = entities_.find({command, index});
    if (e == entities_.end())
        return 0;
    auto o = e->second.options.find(option);
    if (o == e->second.options.end() || subindex >= o->second.values.size())
        return 0;
    return o->second.values[subindex];
}

void Device::setValue(uint8_t command, uint8_t index, uint8_t option, uint32_t value, uint8_t subindex) {
    std::lock_guard<std::mutex> hold(lock_);
    auto e = entities_.find({command, index});
    if (e == entities_.end())
        return;
    auto o = e->second.options.find(option);
    if (o != e->second.options.end() && subindex < o->second.values.size())
        o->second.values[subindex] = value;
}

std::vector<uint8_t> Device::bytes(uint8_t command, uint8_t index, uint8_t option) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto e = entities_.find({command, index});
    if (e == entities_.end())
        return {};
    auto o = e->second.options.find(option);
    return o == e->second.options.end() ? std::vector<uint8_t>{} : o->second.bytes;
}

void Device::setBytes(uint8_t command, uint8_t index, uint8_t option, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    auto e = entities_.find({command, index});
    if (e == entities_.end())
        return;
    auto o = e->second.options.find(option);
    if (o != e->second.options.end())
        o->second.bytes = bytes;
}

uint32_t Device::calls(uint8_t command, uint8_t index, uint8_t option) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto e = entities_.find({command, index});
    if (e == entities_.end())
        return 0;
    auto o = e->second.options.find(option);
    return o == e->second.options.end() ? 0 : o->second.calls;
}

} // namespace vmod
