// Device: stream subscriptions (command 93) and the sample packets of subscribed values.
//
// Subscribe: 93, 0x81 (on) or 0x82 (off), 0x20, module, command, option, index (0xFF: any);
// answered with 93, 0xC1 or 0xC2, 0, and the four key bytes. 93, 0x41, 0x20 asks whether the
// module streams: 93, 1, 0, flag.
// Sample: command, option, index | 0x40, type (1-3 plain 8/16/32-bit, 5-7 with a subindex),
// [subindex], 8-byte time stamp, value, sequence byte 0; all big-endian.
#include "Device.h"

namespace vmod {

namespace {

constexpr uint8_t kAny = 0xFF;
constexpr uint8_t kStreamFlag = 0x40;

uint32_t key(uint8_t command, uint8_t option, uint8_t index) {
    return (static_cast<uint32_t>(command) << 16) | (static_cast<uint32_t>(option) << 8) | index;
}

bool matches(uint8_t pattern, uint8_t value) { return pattern == kAny || pattern == value; }

} // namespace

void Device::handleStream(const Packet& r, std::vector<Packet>& replies) {
    std::lock_guard<std::mutex> hold(lock_);
    if (r.size() < 3)
        return;
    const uint8_t option = r[1];
    auto error = [&](uint8_t code) {
        uint8_t replyOption = option & 0x3F;
        if (option & 0x80)
            replyOption |= 0xC0;
        replies.push_back({kStreamCommand, replyOption, 0x80, code});
    };
    if (uint8_t f = failure(kStreamCommand, option & 0x3F))
        return error(f);
    if (option == 0x41) {
        if (r.size() != 3)
            return error(err::Size);
        replies.push_back({kStreamCommand, 1, 0, static_cast<uint8_t>(!subscriptions_.empty())});
        return;
    }
    if (option != 0x81 && option != 0x82)
        return error(err::InvalidOption);
    if (r.size() != 7)
        return error(err::Size);
    const uint8_t module = r[3], command = r[4], opt = r[5], index = r[6];
    if (module != config_.address)
        return error(err::Param);
    if (option == 0x81) {
        subscriptions_.insert(key(command, opt, index));
    } else {
        for (auto s = subscriptions_.begin(); s != subscriptions_.end();) {
            const uint8_t c = *s >> 16, o = *s >> 8, i = *s & 0xFF;
            if (matches(command, c) && matches(opt, o) && matches(index, i))
                s = subscriptions_.erase(s);
            else
                ++s;
        }
    }
    replies.push_back({kStreamCommand, static_cast<uint8_t>(option | 0x40), 0, module, command, opt, index});
}

bool Device::streaming() const {
    std::lock_guard<std::mutex> hold(lock_);
    return !subscriptions_.empty();
}

std::set<uint32_t> Device::subscriptions() const {
    std::lock_guard<std::mutex> hold(lock_);
    return subscriptions_;
}

uint64_t Device::clock() const {
    auto up = std::chrono::steady_clock::now() - start_;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(up).count());
}

std::vector<Device::Packet> Device::samples(uint64_t timestamp) const {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Packet> out;
    for (const auto& [entityKey, entity] : entities_) {
        const uint8_t command = entityKey.first, index = entityKey.second;
        for (const auto& [code, o] : entity.options) {
            const size_t w = width(o.kind);
            if (!o.get || w == 0)
                continue;
            bool subscribed = false;
            for (uint32_t s : subscriptions_) {
                subscribed = subscribed || (matches(static_cast<uint8_t>(s >> 16), command) &&
                                            matches(static_cast<uint8_t>(s >> 8), code) &&
                                            matches(static_cast<uint8_t>(s), index));
            }
            if (!subscribed)
                continue;
            const uint8_t type = static_cast<uint8_t>(w == 1 ? 1 : w == 2 ? 2 : 3);
            for (size_t sub = 0; sub < o.values.size(); sub++) {
                Packet p{command, code, static_cast<uint8_t>(index | kStreamFlag)};
                if (o.subindexes) {
                    p.push_back(static_cast<uint8_t>(type + 4));
                    p.push_back(static_cast<uint8_t>(sub));
                } else {
                    p.push_back(type);
                }
                for (int shift = 56; shift >= 0; shift -= 8)
                    p.push_back(static_cast<uint8_t>(timestamp >> shift));
                for (size_t i = w; i-- > 0;)
                    p.push_back(static_cast<uint8_t>(o.values[sub] >> (8 * i)));
                p.push_back(0);
                out.push_back(p);
            }
        }
    }
    return out;
}

} // namespace vmod
