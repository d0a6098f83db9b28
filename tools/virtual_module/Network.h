// A full virtual module, or a routing module with modules behind it, on one link.
//
// Network is the device logic of a link Module (VirtualModule.h): the module at the link's own
// address (the router) answers every request addressed to it; modules added with addBehind sit
// at other addresses on the router's I2C bus. While the router routes to this host (its
// forced route is on, or route-to-me is set) they answer through the link from their own
// addresses; otherwise requests to them go unanswered. The router's I2C entity acknowledges a
// write exactly at the bus addresses where a module listens.
//
// Streams: emitSamples sends one sample of every subscribed value of every module that can
// answer; with a stream interval they are sent periodically from a thread of their own.
//
// Threads: every public function may be called from any thread. Devices live as long as the
// Network; the link module must outlive it.
#ifndef KORVEL_VM_NETWORK_H
#define KORVEL_VM_NETWORK_H

#include "Device.h"
#include "VirtualModule.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vmod {

class Network {
public:
    // The router takes the link module's address and serial number; the rest from `router`.
    Network(Module& link, DeviceConfig router = {});
    ~Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    Device& router() { return *router_; }
    // Adds a module behind the router (its router setting becomes the router's address).
    Device& addBehind(DeviceConfig config);
    Device* device(uint8_t address);

    // Whether modules behind the router answer through it now.
    bool routing() const;

    // Every packet handed to a module here, oldest first (the link logic's own packets, sync,
    // forced route and heartbeat answers, are not among them).
    std::vector<Frame> requests() const;
    void clearRequests();
    // Waits until at least `count` requests were seen; returns whether they were.
    bool waitForRequests(size_t count, uint32_t timeoutMs) const;

    void emitSamples();
    void setStreamInterval(uint32_t ms); // 0 stops periodic samples

private:
    bool onFrame(const Frame& frame);
    bool answers(const Device& device) const;
    void streamLoop();

    Module& link_;
    Device* router_ = nullptr;
    std::vector<std::unique_ptr<Device>> devices_; // router first; only ever appended to
    mutable std::mutex lock_;                      // devices_, requests_, stream state
    mutable std::condition_variable changed_;
    std::vector<Frame> requests_;
    uint32_t streamMs_ = 0;
    bool stopping_ = false;
    std::thread streamThread_;
};

} // namespace vmod

#endif
