// Device: data slots (command 4) and factory data (command 94).
//
// Slots: 4, sub-code, then store and slot (1 capacity, 2 size, 3 open to read, 4 open to write)
// or a handle (6 read up to 25 bytes, 7 write up to 25 bytes, answered with their 8-bit sum,
// 8 close). Replies repeat the request's keys; errors set bit 7 of the sub-code and carry the
// code after the keys.
//
// Factory data: 94, type (low four bits) with 0x40 on the first packet of a transfer and 0x10
// on writes, then up to 26 bytes; reads answer with the next piece, a piece shorter than 26
// bytes ends the record. 94, 0x20, total high, total low closes the transfer. Replies: 94, type
// (| 0x80 and the code for errors), then the piece or, for the close, a status byte.
#include "Device.h"

#include <algorithm>

namespace vmod {

namespace {

constexpr uint8_t kErrorFlag = 0x80;
constexpr size_t kSlotChunk = 25;
constexpr uint8_t kMaxHandles = 4;

constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryClose = 0x20;
constexpr uint8_t kFactoryTypeMask = 0x0F;
constexpr size_t kFactoryPiece = 26;

} // namespace

std::vector<uint8_t>* Device::slotData(uint8_t store, uint8_t slot) {
    if (store >= config_.slotStores || slot >= config_.slotsPerStore)
        return nullptr;
    return &slots_[{store, slot}];
}

void Device::handleSlot(const Packet& r, std::vector<Packet>& replies) {
    std::lock_guard<std::mutex> hold(lock_);
    if (r.size() < 3)
        return;
    const uint8_t sub = r[1];
    const bool bySlot = sub >= 1 && sub <= 4;
    if (bySlot && r.size() < 4)
        return;
    Packet keys(r.begin(), r.begin() + (bySlot ? 4 : 3));
    auto error = [&](uint8_t code) {
        Packet p = keys;
        p[1] = static_cast<uint8_t>(sub | kErrorFlag);
        p.push_back(code);
        replies.push_back(p);
    };
    if (uint8_t f = failure(kSlotCommand, sub))
        return error(f);

    if (bySlot) {
        const uint8_t store = r[2], slot = r[3];
        std::vector<uint8_t>* data = slotData(store, slot);
        if (!data)
            return error(err::IndexRange);
        Packet p = keys;
        switch (sub) {
        case 1:
        case 2: {
            const uint16_t v = sub == 1 ? config_.slotCapacity : static_cast<uint16_t>(data->size());
            p.push_back(static_cast<uint8_t>(v >> 8));
            p.push_back(static_cast<uint8_t>(v));
            replies.push_back(p);
            return;
        }
        default: {
            for (const auto& [h, open] : handles_) {
                if (open.store == store && open.slot == slot)
                    return error(err::Busy);
            }
            uint8_t handle = 1;
            while (handle <= kMaxHandles && handles_.count(handle))
                handle++;
            if (handle > kMaxHandles)
                return error(err::Busy);
            const bool writing = sub == 4;
            if (writing)
                data->clear();
            handles_[handle] = SlotHandle{store, slot, writing, 0};
            p.push_back(handle);
            replies.push_back(p);
            return;
        }
        }
    }

    auto open = handles_.find(r[2]);
    if (sub < 6 || sub > 8)
        return error(err::Param);
    if (open == handles_.end())
        return error(err::Param);
    SlotHandle& h = open->second;
    std::vector<uint8_t>& data = *slotData(h.store, h.slot);
    Packet p = keys;
    switch (sub) {
    case 6: {
        if (h.writing)
            return error(err::Mode);
        if (h.position >= data.size())
            return error(err::EndOfFile);
        size_t take = std::min(kSlotChunk, data.size() - h.position);
        p.insert(p.end(), data.begin() + h.position, data.begin() + h.position + take);
        h.position += take;
        slotReadChunks_.push_back(take);
        replies.push_back(p);
        return;
    }
    case 7: {
        if (!h.writing)
            return error(err::Mode);
        const size_t n = r.size() - 3;
        if (n > kSlotChunk)
            return error(err::Size);
        if (data.size() + n > config_.slotCapacity)
            return error(err::Overrun);
        uint8_t sum = 0;
        for (size_t i = 3; i < r.size(); i++) {
            data.push_back(r[i]);
            sum = static_cast<uint8_t>(sum + r[i]);
        }
        slotWriteChunks_.push_back(n);
        p.push_back(sum);
        replies.push_back(p);
        return;
    }
    default:
        handles_.erase(open);
        p.push_back(0);
        replies.push_back(p);
        return;
    }
}

void Device::handleFactory(const Packet& r, std::vector<Packet>& replies) {
    std::lock_guard<std::mutex> hold(lock_);
    if (r.size() < 2)
        return;
    FactoryTransfer& t = factoryTransfer_;
    auto error = [&](uint8_t type, uint8_t code) {
        replies.push_back({kFactoryCommand, static_cast<uint8_t>((type & kFactoryTypeMask) | kErrorFlag), code});
    };

    if (r[1] == kFactoryClose) {
        const uint8_t type = t.active ? t.type : lastFactoryType_;
        if (uint8_t f = failure(kFactoryCommand, kFactoryClose)) {
            t.active = false;
            return error(type, f);
        }
        if (!t.active || r.size() != 4)
            return error(type, err::NotReady);
        const size_t total = (static_cast<size_t>(r[2]) << 8) | r[3];
        t.active = false;
        if (t.writing) {
            if (total != t.incoming.size())
                return error(type, err::Size);
            factory_[type] = t.incoming;
        } else if (total != t.position) {
            return error(type, err::Size);
        }
        replies.push_back({kFactoryCommand, type, 0});
        return;
    }

    const uint8_t type = r[1] & kFactoryTypeMask;
    const bool first = r[1] & kFactoryFirst, writing = r[1] & kFactoryWrite;
    lastFactoryType_ = type;
    if (uint8_t f = failure(kFactoryCommand, writing ? kFactoryWrite : kFactoryFirst)) {
        t.active = false;
        return error(type, f);
    }
    if (first) {
        t = FactoryTransfer{};
        t.active = true;
        t.writing = writing;
        t.type = type;
    } else if (!t.active || t.writing != writing || t.type != type) {
        return error(type, err::NotReady);
    }

    if (writing) {
        const size_t n = r.size() - 2;
        if (n > kFactoryPiece || t.incoming.size() + n > config_.factoryCapacity) {
            t.active = false;
            return error(type, err::Overrun);
        }
        t.incoming.insert(t.incoming.end(), r.begin() + 2, r.end());
        factoryPieces_.push_back(n);
        replies.push_back({kFactoryCommand, type});
        return;
    }
    auto record = factory_.find(type);
    if (record == factory_.end()) {
        t.active = false;
        return error(type, err::NotFound);
    }
    const std::vector<uint8_t>& data = record->second;
    const size_t take = std::min(kFactoryPiece, data.size() - std::min(t.position, data.size()));
    Packet p{kFactoryCommand, type};
    p.insert(p.end(), data.begin() + t.position, data.begin() + t.position + take);
    t.position += take;
    factoryPieces_.push_back(take);
    replies.push_back(p);
}

std::vector<uint8_t> Device::slot(uint8_t store, uint8_t slot) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto s = slots_.find({store, slot});
    return s == slots_.end() ? std::vector<uint8_t>{} : s->second;
}

void Device::setSlot(uint8_t store, uint8_t slot, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    if (std::vector<uint8_t>* data = slotData(store, slot))
        *data = bytes;
}

std::vector<size_t> Device::slotWriteChunks() const {
    std::lock_guard<std::mutex> hold(lock_);
    return slotWriteChunks_;
}

std::vector<size_t> Device::slotReadChunks() const {
    std::lock_guard<std::mutex> hold(lock_);
    return slotReadChunks_;
}

std::vector<uint8_t> Device::factoryRecord(uint8_t type) const {
    std::lock_guard<std::mutex> hold(lock_);
    auto f = factory_.find(type & kFactoryTypeMask);
    return f == factory_.end() ? std::vector<uint8_t>{} : f->second;
}

void Device::setFactoryRecord(uint8_t type, const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(lock_);
    factory_[type & kFactoryTypeMask] = bytes;
}

std::vector<size_t> Device::factoryPieces() const {
    std::lock_guard<std::mutex> hold(lock_);
    return factoryPieces_;
}

void Device::clearChunkRecords() {
    std::lock_guard<std::mutex> hold(lock_);
    slotWriteChunks_.clear();
    slotReadChunks_.clear();
    factoryPieces_.clear();
}

} // namespace vmod
