// Device: the UEI entities (system entity and analog entities) and their request forms.
//
// Requests: command, option | get (0x40) or set (0x80), index | 0x20, then nothing, a subindex,
// a value, or subindex and value; byte strings: up to 24 bytes and a sequence byte per packet.
// Replies: command, the bare option (get) or option | 0xC0 (set), the bare index, the value;
// errors: command, that option byte, index | 0x80, the error code.
#include "Device.h"

#include <algorithm>

namespace vmod {

namespace {

constexpr uint8_t kGet = 0x40;
constexpr uint8_t kSet = 0x80;
constexpr uint8_t kSetReply = 0xC0;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kMore = 0x80;
constexpr size_t kChunk = 24;

void putValue(std::vector<uint8_t>& p, uint32_t v, size_t width) {
    for (size_t i = width; i-- > 0;)
        p.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t getValue(const uint8_t* bytes, size_t width) {
    uint32_t v = 0;
    for (size_t i = 0; i < width; i++)
        v = (v << 8) | bytes[i];
    return v;
}

uint32_t signedValue(int32_t v) { return static_cast<uint32_t>(v); }

} // namespace

Device::Option Device::makeOption(Kind kind, bool get, bool set, uint32_t value, uint8_t subindexes) {
    Option o;
    o.kind = kind;
    o.get = get;
    o.set = set;
    o.subindexes = subindexes;
    if (kind != Kind::Call && kind != Kind::Bytes)
        o.values.assign(subindexes ? subindexes : 1, value);
    o.defaults = o.values;
    return o;
}

size_t Device::width(Kind kind) {
    switch (kind) {
    case Kind::U8:
        return 1;
    case Kind::U16:
        return 2;
    case Kind::U32:
        return 4;
    default:
        return 0;
    }
}

void Device::build() {
    const bool G = true, S = true, no = false;
    const uint8_t router = config_.router ? config_.router : config_.address;
    Entity sys;
    auto& o = sys.options;
    o[1] = makeOption(Kind::U8, G, no, config_.address);
    o[2] = makeOption(Kind::U8, G, S, router);
    o[3] = makeOption(Kind::U8, G, S, 10); // heartbeat interval, 100 ms units
    o[4] = makeOption(Kind::U8, G, S, 0);
    o[6] = makeOption(Kind::U8, G, S, 0);
    o[7] = makeOption(Kind::U32, G, no, config_.version);
    o[8] = makeOption(Kind::U8, G, no, config_.model);
    o[9] = makeOption(Kind::U32, G, no, config_.serialNumber);
    o[10] = makeOption(Kind::Call, no, S);
    o[11] = makeOption(Kind::Call, no, S);
    o[12] = makeOption(Kind::U32, G, no, 5021000); // microvolts
    o[13] = makeOption(Kind::U8, G, no, 0);
    o[14] = makeOption(Kind::U8, G, no, config_.address);
    o[15] = makeOption(Kind::U8, G, S, 0);
    o[16] = makeOption(Kind::U8, G, no, router);
    o[20] = makeOption(Kind::U8, no, S, 0); // route to me
    o[21] = makeOption(Kind::U32, G, no, 182000); // microamperes
    o[22] = makeOption(Kind::U32, G, no, 0);      // uptime, seconds (computed)
    o[23] = makeOption(Kind::U32, G, no, signedValue(48250000)); // micro-degrees Celsius
    o[24] = makeOption(Kind::Call, no, S);
    o[25] = makeOption(Kind::U32, G, no, signedValue(12004000));
    o[26] = makeOption(Kind::U32, G, no, signedValue(-23000));
    o[27] = makeOption(Kind::U32, G, no, signedValue(31500000));
    o[28] = makeOption(Kind::U32, G, no, signedValue(-4750000));
    o[29] = makeOption(Kind::U8, G, no, 1);
    o[30] = makeOption(Kind::U8, G, S, 0);
    o[31] = makeOption(Kind::Bytes, G, S);
    o[31].maxBytes = 64;
    o[31].bytes = o[31].defaultBytes = {0x01, 0x00, 0x00, 0x00, 0x10, 0x27, 0x00, 0x00};
    o[32] = makeOption(Kind::Bytes, G, S);
    o[32].maxBytes = 64;
    o[32].bytes = o[32].defaultBytes = std::vector<uint8_t>(config_.name.begin(), config_.name.end());
    o[33] = makeOption(Kind::U32, G, no, 15000000);
    o[34] = makeOption(Kind::U32, G, S, 20000000);
    o[35] = makeOption(Kind::U32, G, no, 0);
    o[36] = makeOption(Kind::Call, no, S);
    o[37] = makeOption(Kind::Call, no, S);
    o[38] = makeOption(Kind::U8, G, S, 0);
    o[40] = makeOption(Kind::U32, G, no, config_.hardwareVersion);
    o[41] = makeOption(Kind::U32, G, no, 0);
    o[42] = makeOption(Kind::U8, G, S, 255);
    o[43] = makeOption(Kind::U32, G, no, config_.build);
    entities_[{kSystemCommand, 0}] = sys;

    for (uint8_t i = 0; i < config_.analogEntities; i++) {
        Entity a;
        a.group = 1;
        a.subclasses = analog::Channels;
        a.options[analog::Mode] = makeOption(Kind::U8, G, S, 1);
        a.options[analog::Range] = makeOption(Kind::U16, G, S, 5000);
        a.options[analog::Reading] = makeOption(Kind::U32, G, no, 1000u * (i + 1));
        a.options[analog::Gain] = makeOption(Kind::U8, G, S, 1, analog::Channels);
        a.options[analog::Offset] = makeOption(Kind::U16, G, S, 0, analog::Channels);
        a.options[analog::Calibration] = makeOption(Kind::U32, G, S, 0x10000, analog::Channels);
        a.options[analog::Zero] = makeOption(Kind::Call, no, S);
        entities_[{kAnalogCommand, i}] = a;
    }
}

void Device::restoreDefaults(Entity& entity) {
    for (auto& [code, o] : entity.options) {
        o.values = o.defaults;
        o.bytes = o.defaultBytes;
        o.receiving = false;
    }
}

void Device::refresh(uint8_t command, uint8_t option, Option& o) {
    if (command == kSystemCommand && option == 22) {
        auto up = std::chrono::steady_clock::now() - start_;
        o.values[0] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(up).count());
    }
}

void Device::systemSideEffects(uint8_t option, Entity& entity) {
    if (option == 36) {
        restoreDefaults(entity);
    } else if (option == 37) {
        for (auto& [key, e] : entities_)
            restoreDefaults(e);
    }
}

void Device::handleUEI(const Packet& r, std::vector<Packet>& replies) {
    if (r.size() < 3)
        return; // not a request this module can answer in kind
    std::lock_guard<std::mutex> hold(lock_);
    const uint8_t command = r[0], optionByte = r[1], code = r[1] & kOptionMask, index = r[2] & kIndexMask;
    const bool get = optionByte & kGet, set = optionByte & kSet;
    const uint8_t replyOption = set && !get ? static_cast<uint8_t>(code | kSetReply) : code;
    auto error = [&](uint8_t e) {
        replies.push_back({command, get == set ? optionByte : replyOption,
                           static_cast<uint8_t>(index | kErrorFlag), e});
    };
    if (get == set)
        return error(err::InvalidOption);
    auto entity = entities_.find({command, index});
    if (entity == entities_.end()) {
        bool classExists = false;
        for (const auto& [key, e] : entities_)
            classExists = classExists || key.first == command;
        return error(classExists ? err::IndexRange : err::InvalidEntity);
    }
    auto found = entity->second.options.find(code);
    if (found == entity->second.options.end())
        return error(err::InvalidOption);
    if (uint8_t f = failure(command, code))
        return error(f);
    Option& o = found->second;
    const uint8_t* payload = r.data() + 3;
    const size_t n = r.size() - 3;
    const size_t w = width(o.kind);

    if (get) {
        if (!o.get)
            return error(err::InvalidOption);
        if (o.kind == Kind::Bytes) {
            if (n != 0)
                return error(err::Size);
            size_t done = 0;
            uint8_t sequence = 0;
            do {
                size_t take = std::min(kChunk, o.bytes.size() - done);
                Packet p{command, code, index};
                p.insert(p.end(), o.bytes.begin() + done, o.bytes.begin() + done + take);
                done += take;
                p.push_back(static_cast<uint8_t>((sequence++ & 0x7F) | (done < o.bytes.size() ? kMore : 0)));
                replies.push_back(p);
            } while (done < o.bytes.size());
            return;
        }
        uint8_t sub = 0;
        if (n == 1) {
            if (o.subindexes == 0)
                return error(err::Param);
            sub = payload[0];
        } else if (n != 0) {
            return error(err::Size);
        }
        if (sub >= o.values.size())
            return error(err::IndexRange);
        refresh(command, code, o);
        Packet p{command, code, index};
        putValue(p, o.values[sub], w);
        replies.push_back(p);
        return;
    }

    if (!o.set)
        return error(err::InvalidOption);
    Packet ok{command, replyOption, index};
    switch (o.kind) {
    case Kind::Call:
        if (n != 0)
            return error(err::Size);
        o.calls++;
        if (command == kSystemCommand)
            systemSideEffects(code, entity->second);
        replies.push_back(ok);
        return;
    case Kind::Bytes: {
        if (n == 0)
            return error(err::Size);
        const uint8_t seqByte = payload[n - 1];
        const uint8_t sequence = seqByte & 0x7F;
        if (sequence == 0) {
            o.incoming.clear();
            o.receiving = true;
            o.nextSequence = 0;
        }
        if (!o.receiving || sequence != o.nextSequence) {
            o.receiving = false;
            return error(err::Packet);
        }
        o.incoming.insert(o.incoming.end(), payload, payload + n - 1);
        o.nextSequence = static_cast<uint8_t>((o.nextSequence + 1) & 0x7F);
        if (o.incoming.size() > o.maxBytes) {
            o.receiving = false;
            return error(err::Size);
        }
        if (seqByte & kMore)
            return; // one reply, after the last packet
        o.receiving = false;
        o.bytes = o.incoming;
        replies.push_back(ok);
        return;
    }
    default: {
        uint8_t sub = 0;
        if (o.subindexes && n == 1 + w) {
            sub = payload[0];
            payload++;
        } else if (n != w) {
            return error(err::Size);
        }
        if (sub >= o.values.size())
            return error(err::IndexRange);
        o.values[sub] = getValue(payload, w);
        putValue(ok, o.values[sub], w);
        replies.push_back(ok);
        return;
    }
    }
}

} // namespace vmod
