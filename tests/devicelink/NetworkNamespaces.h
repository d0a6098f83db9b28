// Private network namespaces for tests that send real traffic off the loopback interface.
//
// enterPrivateHost() moves the calling thread (call it from main, before any other thread is
// made) into a new namespace that only this process uses; threads created afterwards inherit
// it. ModuleSide makes a second namespace joined to the first by veth pairs, and threads that
// call enter() act as modules on the far side. Both namespaces are anonymous: they vanish with
// the process however it ends, so nothing is left behind after a failure or a crash.
#ifndef KORVEL_TEST_NETWORKNAMESPACES_H
#define KORVEL_TEST_NETWORKNAMESPACES_H

#include <string>
#include <vector>

namespace netns {

// True when the calling thread now runs in a fresh namespace with lo up.
bool enterPrivateHost();

// Runs a shell command in the calling thread's namespace; true when it exits with 0.
bool run(const std::string& command);

// One veth pair: `hostAddress` on the host end, `moduleAddress` on the module end (both /24).
struct VethLink {
    std::string hostAddress;
    std::string moduleAddress;
};

class ModuleSide {
public:
    ModuleSide() = default;
    ~ModuleSide();
    ModuleSide(const ModuleSide&) = delete;
    ModuleSide& operator=(const ModuleSide&) = delete;

    // Makes the namespace and the links (host ends "hk0", "hk1"..., module ends "mk0"...), each
    // end up with a multicast route. Call from a thread in the private host namespace.
    bool create(const std::vector<VethLink>& links);

    // Moves the calling thread into the module side.
    bool enter() const;

private:
    int fd_ = -1;
};

} // namespace netns

#endif
