#include "NetworkNamespaces.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace netns {

bool run(const std::string& command) {
    std::string quiet = command + " >/dev/null 2>&1";
    return system(quiet.c_str()) == 0;
}

bool enterPrivateHost() {
    if (unshare(CLONE_NEWNET) != 0) {
        perror("unshare(CLONE_NEWNET)");
        return false;
    }
    return run("ip link set lo up");
}

ModuleSide::~ModuleSide() {
    if (fd_ >= 0)
        close(fd_);
}

bool ModuleSide::create(const std::vector<VethLink>& links) {
    for (size_t i = 0; i < links.size(); ++i) {
        std::string n = std::to_string(i);
        if (!run("ip link add hk" + n + " type veth peer name mk" + n) ||
            !run("ip addr add " + links[i].hostAddress + "/24 dev hk" + n) ||
            !run("ip link set hk" + n + " up") ||
            !run("ip route add 224.0.0.0/4 dev hk" + n + " metric " + std::to_string(100 + i)))
            return false;
    }
    // A helper thread makes the far namespace and stays in it until its ends are set up; the
    // descriptor keeps the namespace alive after the thread is gone.
    std::mutex mutex;
    std::condition_variable changed;
    long tid = 0;
    bool moved = false, ok = false;
    std::thread side([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (unshare(CLONE_NEWNET) == 0)
            fd_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        tid = fd_ >= 0 ? long(syscall(SYS_gettid)) : -1;
        changed.notify_all();
        changed.wait(lock, [&] { return moved; });
        if (tid < 0)
            return;
        ok = run("ip link set lo up");
        for (size_t i = 0; ok && i < links.size(); ++i) {
            std::string n = std::to_string(i);
            ok = run("ip addr add " + links[i].moduleAddress + "/24 dev mk" + n) &&
                 run("ip link set mk" + n + " up") &&
                 run("ip route add 224.0.0.0/4 dev mk" + n + " metric " +
                     std::to_string(100 + i));
        }
    });
    bool movedAll = true;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return tid != 0; });
        for (size_t i = 0; tid > 0 && i < links.size(); ++i)
            movedAll = movedAll &&
                       run("ip link set mk" + std::to_string(i) + " netns " + std::to_string(tid));
        moved = true;
        changed.notify_all();
    }
    side.join();
    return tid > 0 && movedAll && ok;
}

bool ModuleSide::enter() const { return fd_ >= 0 && setns(fd_, CLONE_NEWNET) == 0; }

} // namespace netns
