#include "VirtualModule.h"

#include <chrono>
#include <iterator>

namespace vmod {

Module::Module(Config config) : config_(config), random_(config.seed), heartbeatMs_(config.heartbeatMs) {
    heartbeatThread_ = std::thread([this] { heartbeatLoop(); });
}

Module::~Module() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    heartbeatWake_.notify_all();
    heartbeatThread_.join();
}

void Module::attach(Sink sink) {
    std::lock_guard<std::mutex> hold(outLock_);
    sink_ = std::move(sink);
}

void Module::detach() {
    std::lock_guard<std::mutex> hold(outLock_);
    sink_ = nullptr;
}

void Module::noteDropped(size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    stats_.dropped += count;
}

void Module::setSilent(bool silent) {
    std::lock_guard<std::mutex> hold(outLock_);
    silent_ = silent;
}

bool Module::silent() const {
    std::lock_guard<std::mutex> hold(outLock_);
    return silent_;
}

bool Module::emit(const uint8_t* bytes, size_t count) {
    bool sent = false;
    {
        std::lock_guard<std::mutex> hold(outLock_);
        if (!silent_ && sink_) {
            sink_(bytes, count);
            sent = true;
        }
    }
    if (sent) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stats_.bytesOut += count;
        }
        changed_.notify_all();
    }
    return sent;
}

bool Module::emitFrame(uint8_t address, const uint8_t* data, size_t length) {
    uint8_t frame[2 + kMaxData];
    if (length > kMaxData)
        length = kMaxData;
    frame[0] = address;
    frame[1] = static_cast<uint8_t>(length);
    for (size_t i = 0; i < length; i++)
        frame[2 + i] = data[i];
    return emit(frame, length + 2);
}

void Module::setDeviceLogic(DeviceLogic logic) {
    std::lock_guard<std::mutex> hold(logicLock_);
    hasLogic_ = static_cast<bool>(logic);
    logic_ = std::move(logic);
}

void Module::receive(const uint8_t* bytes, size_t count) {
    // Answers and packets for the device logic, in arrival order: a device reply must not
    // overtake the sync reply to a query that came before it.
    struct Event {
        bool forLogic;
        Frame frame;
    };
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stats_.bytesIn += count;
        for (size_t i = 0; i < count; i++) {
            uint8_t b = bytes[i];
            switch (parse_) {
            case Parse::Address:
                current_.address = b;
                current_.data.clear();
                parse_ = Parse::Length;
                break;
            case Parse::Length:
                if (b > kMaxData) {
                    // No way to tell where the next frame starts: wait for the host to resync.
                    stats_.framingErrors++;
                    parse_ = Parse::Address;
                    break;
                }
                expected_ = b;
                parse_ = Parse::Data;
                break;
            case Parse::Data:
                current_.data.push_back(b);
                break;
            }
            if (parse_ == Parse::Data && current_.data.size() == expected_) {
                parse_ = Parse::Address;
                stats_.framesIn++;
                const Frame& f = current_;
                if (f.address == kSyncAddress && f.data.empty()) {
                    stats_.syncQueries++;
                    events.push_back({false, Frame{config_.address, {}}});
                } else if (f.address == kForceRouteAddress && f.data.size() == 1) {
                    stats_.forcedRoute = f.data[0];
                    stats_.forceRouteCount++;
                } else if (f.address == config_.address && f.data.size() == 2 &&
                           f.data[0] == kHeartbeatCommand) {
                    bool good = false;
                    for (auto it = outstanding_.begin(); it != outstanding_.end(); ++it) {
                        if (static_cast<uint8_t>(*it + 2) == f.data[1]) {
                            outstanding_.erase(it);
                            good = true;
                            break;
                        }
                    }
                    if (good)
                        stats_.heartbeatAnswersGood++;
                    else
                        stats_.heartbeatAnswersBad++;
                } else if (f.address == config_.address && !f.data.empty() && f.data[0] == kEchoCommand) {
                    events.push_back({false, f});
                } else if (hasLogic_) {
                    events.push_back({true, f});
                } else {
                    frames_.push_back(f); // at once: a waiter that sees framesIn finds it
                }
            }
        }
    }
    changed_.notify_all();
    for (const Event& e : events) {
        const Frame& r = e.frame;
        if (e.forLogic) {
            bool taken = false;
            {
                std::lock_guard<std::mutex> hold(logicLock_);
                if (logic_)
                    taken = logic_(r);
            }
            if (!taken) {
                std::lock_guard<std::mutex> hold(lock_);
                frames_.push_back(r);
            }
            changed_.notify_all();
            continue;
        }
        if (!emitFrame(r.address, r.data.data(), r.data.size()))
            continue;
        // Counted once they are out, so a waiter that sees the count can rely on them.
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (r.data.empty())
                stats_.syncReplies++;
            else
                stats_.echoes++;
        }
        changed_.notify_all();
    }
}

void Module::sendGarbage(size_t count) {
    std::vector<uint8_t> bytes(count);
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(random_());
    }
    emit(bytes.data(), bytes.size());
}

void Module::sendOddAddress() {
    uint8_t odd = static_cast<uint8_t>(config_.address | 1);
    emitFrame(odd, nullptr, 0);
}

void Module::sendHeartbeat(uint8_t value) {
    {
        // Outstanding before it leaves, since the answer can come back at once.
        std::lock_guard<std::mutex> hold(lock_);
        outstanding_.push_back(value);
        // Unanswered heartbeats of a host that went away must not pile up.
        while (outstanding_.size() > 64)
            outstanding_.pop_front();
    }
    const uint8_t data[2] = {kHeartbeatCommand, value};
    bool sent = emitFrame(config_.address, data, 2);
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (sent) {
            stats_.heartbeatsSent++;
        } else {
            for (auto it = outstanding_.rbegin(); it != outstanding_.rend(); ++it) {
                if (*it == value) {
                    outstanding_.erase(std::next(it).base());
                    break;
                }
            }
        }
    }
    changed_.notify_all();
}

void Module::sendPacket(uint8_t address, const std::vector<uint8_t>& data) {
    emitFrame(address, data.data(), data.size());
}

void Module::sendRaw(const std::vector<uint8_t>& bytes) { emit(bytes.data(), bytes.size()); }

void Module::setHeartbeatInterval(uint32_t ms) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        heartbeatMs_ = ms;
    }
    heartbeatWake_.notify_all();
}

void Module::heartbeatLoop() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        if (heartbeatMs_ == 0) {
            heartbeatWake_.wait(hold);
            continue;
        }
        uint32_t interval = heartbeatMs_;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(interval);
        while (!stopping_ && heartbeatMs_ == interval &&
               heartbeatWake_.wait_until(hold, deadline) == std::cv_status::no_timeout) {
        }
        if (stopping_ || heartbeatMs_ != interval)
            continue; // stopping, or the interval changed: start over
        // The module alternates "up" (0) and "down" (1).
        uint8_t value = nextHeartbeat_;
        nextHeartbeat_ ^= 1;
        hold.unlock();
        sendHeartbeat(value);
        hold.lock();
    }
}

Stats Module::stats() const {
    std::lock_guard<std::mutex> hold(lock_);
    return stats_;
}

std::vector<Frame> Module::frames() const {
    std::lock_guard<std::mutex> hold(lock_);
    return frames_;
}

void Module::clearFrames() {
    std::lock_guard<std::mutex> hold(lock_);
    frames_.clear();
}

bool Module::waitFor(const std::function<bool(const Stats&)>& pred, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return pred(stats_); });
}

} // namespace vmod
