// The virtual module behind a pseudo-terminal: as the kernel driver's node of a USB module, or
// as a serial port. The host opens the slave side (or a symbolic link to it); the module keeps a
// slave descriptor open itself so that the master does not report a hang-up while the host has
// the port closed.
#ifndef KORVEL_VM_PTY_TRANSPORT_H
#define KORVEL_VM_PTY_TRANSPORT_H

#include "VirtualModule.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

namespace vmod {

class PtyTransport {
public:
    enum class Kind {
        Node,   // raw, reads return after ~100 ms without data (VMIN 0, VTIME 1)
        Serial, // raw; the host sets its own line settings
    };

    // link: symbolic link to the slave to create (replacing an existing link), or "" for none.
    // Throws std::runtime_error when the pseudo-terminal cannot be made.
    PtyTransport(Module& module, Kind kind, const std::string& link = "");
    ~PtyTransport();
    PtyTransport(const PtyTransport&) = delete;
    PtyTransport& operator=(const PtyTransport&) = delete;

    // As the node of `module` under the prefix: the link is <prefix>%08X of its serial number.
    static std::string nodePath(const std::string& prefix, uint32_t serialNumber);

    // The path a host opens: the link when there is one, else the slave's own path.
    std::string path() const;
    std::string slavePath() const;

    // Faults. hangUp: closes the master; the host's reads and writes fail with an I/O error.
    // reopen: a fresh pseudo-terminal behind the same link (after a hang-up the host re-opens).
    void hangUp();
    void reopen();

private:
    void open();
    void closeAll();
    void run();
    void wake();
    void send(const uint8_t* bytes, size_t count);

    Module& module_;
    const Kind kind_;
    const std::string link_;
    int wakeFd_ = -1;
    mutable std::mutex lock_; // masterFd_, slaveFd_, slavePath_
    int masterFd_ = -1;
    int slaveFd_ = -1;
    std::string slavePath_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace vmod

#endif
