#include "Network.h"

#include <chrono>

namespace vmod {

namespace {
constexpr uint8_t kRouteToMeOption = 20;
}

Network::Network(Module& link, DeviceConfig router) : link_(link) {
    router.address = link.config().address;
    router.serialNumber = link.config().serialNumber;
    router.router = 0;
    devices_.push_back(std::make_unique<Device>(router));
    router_ = devices_.front().get();
    Bus bus;
    bus.write = [this](uint8_t address, const std::vector<uint8_t>& bytes) {
        Device* d = device(address);
        if (!d || d == router_)
            return false;
        d->busWrite(bytes);
        return true;
    };
    bus.read = [this](uint8_t address, size_t count, std::vector<uint8_t>& bytes) {
        Device* d = device(address);
        if (!d || d == router_)
            return false;
        bytes = d->busRead(count);
        return true;
    };
    router_->setBus(bus);
    streamThread_ = std::thread([this] { streamLoop(); });
    link_.setDeviceLogic([this](const Frame& f) { return onFrame(f); });
}

Network::~Network() {
    link_.setDeviceLogic({}); // waits for a packet being handled
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    streamThread_.join();
}

Device& Network::addBehind(DeviceConfig config) {
    config.router = link_.config().address;
    auto d = std::make_unique<Device>(config);
    Device& added = *d;
    std::lock_guard<std::mutex> hold(lock_);
    devices_.push_back(std::move(d));
    return added;
}

Device* Network::device(uint8_t address) {
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& d : devices_) {
        if (d->address() == address)
            return d.get();
    }
    return nullptr;
}

bool Network::routing() const {
    return link_.stats().forcedRoute == 1 ||
           router_->value(kSystemCommand, 0, kRouteToMeOption) != 0;
}

bool Network::answers(const Device& device) const {
    return &device == router_ || routing();
}

bool Network::onFrame(const Frame& frame) {
    Device* d = device(frame.address);
    if (!d)
        return false; // nobody at that address: left to the link module's frame record
    {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(frame);
    }
    changed_.notify_all();
    if (!answers(*d))
        return true; // the router does not pass it on
    std::vector<Device::Packet> replies;
    d->handle(frame.data, replies);
    for (const auto& r : replies)
        link_.sendPacket(d->address(), r);
    return true;
}

std::vector<Frame> Network::requests() const {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
}

void Network::clearRequests() {
    std::lock_guard<std::mutex> hold(lock_);
    requests_.clear();
}

bool Network::waitForRequests(size_t count, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> hold(lock_);
    return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= count; });
}

void Network::emitSamples() {
    std::vector<Device*> all;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& d : devices_)
            all.push_back(d.get());
    }
    for (Device* d : all) {
        if (!answers(*d))
            continue;
        for (const auto& s : d->samples(d->clock()))
            link_.sendPacket(d->address(), s);
    }
}

void Network::setStreamInterval(uint32_t ms) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        streamMs_ = ms;
    }
    changed_.notify_all();
}

void Network::streamLoop() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stopping_) {
        if (streamMs_ == 0) {
            changed_.wait(hold);
            continue;
        }
        const uint32_t interval = streamMs_;
        if (changed_.wait_for(hold, std::chrono::milliseconds(interval),
                              [&] { return stopping_ || streamMs_ != interval; }))
            continue;
        hold.unlock();
        emitSamples();
        hold.lock();
    }
}

} // namespace vmod
