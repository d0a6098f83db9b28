// korvel-virtual-module: a virtual Korvel module on TCP, a pseudo-terminal or emulated USB.
#include "Network.h"
#include "PtyTransport.h"
#include "TcpTransport.h"
#include "UsbTransport.h"
#include "VirtualModule.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t _stopRequested = 0;

void _onSignal(int) { _stopRequested = 1; }

const char* const _usage =
    "usage: korvel-virtual-module [options] --tcp [PORT] | --node PREFIX | --serial-port LINK\n"
    "                             | --usb [-- COMMAND ARGS...]\n"
    "  --address N      module address, even (default 4)\n"
    "  --serial HEX     serial number (default 1234ABCD)\n"
    "  --heartbeat MS   heartbeat interval in ms, 0 for none (default 1000)\n"
    "  --model N        model number (default 13)\n"
    "  --behind A:HEX   a module at address A with serial number HEX behind this one, which\n"
    "                   then routes for it (repeatable)\n"
    "  --for SECONDS    stop by itself after SECONDS (default: at end of input or a signal)\n"
    "  --tcp [PORT]     listen on 127.0.0.1:PORT (0 or none: any free port)\n"
    "  --node PREFIX    pseudo-terminal as the kernel-driver node PREFIX%08X\n"
    "  --serial-port L  pseudo-terminal as a serial port, linked at L\n"
    "  --usb            emulated USB device; with a COMMAND, runs it on the emulated bus\n"
    "                   and exits with its status\n"
    "Commands on standard input: silent on|off, garbage N, odd, heartbeat V, stall in|out,\n"
    "fail in|out N, disconnect, reconnect, close, reset, hangup, reopen, stats, quit;\n"
    "samples (one sample of every subscribed value), stream MS (samples every MS, 0 stops),\n"
    "error CMD OPT CODE (requests to that option answer with error CODE, 0 clears)\n";

struct _Transports {
    std::unique_ptr<vmod::TcpTransport> tcp;
    std::unique_ptr<vmod::PtyTransport> pty;
    std::unique_ptr<vmod::UsbBus> bus;
    std::unique_ptr<vmod::UsbTransport> usb;
};

void _printStats(const vmod::Module& m) {
    vmod::Stats s = m.stats();
    printf("in %llu bytes, %llu frames (%llu framing errors); out %llu bytes, %llu dropped\n"
           "sync %llu queries, %llu replies; echo %llu; heartbeats %llu sent, %llu good, %llu bad "
           "answers; forced route %d (%llu)\n",
           (unsigned long long)s.bytesIn, (unsigned long long)s.framesIn,
           (unsigned long long)s.framingErrors, (unsigned long long)s.bytesOut,
           (unsigned long long)s.dropped, (unsigned long long)s.syncQueries,
           (unsigned long long)s.syncReplies, (unsigned long long)s.echoes,
           (unsigned long long)s.heartbeatsSent, (unsigned long long)s.heartbeatAnswersGood,
           (unsigned long long)s.heartbeatAnswersBad, s.forcedRoute,
           (unsigned long long)s.forceRouteCount);
    fflush(stdout);
}

// One command line; returns false for quit.
bool _command(const std::string& line, vmod::Module& m, vmod::Network& n, _Transports& t) {
    std::istringstream in(line);
    std::string word, arg;
    unsigned long number = 0;
    in >> word >> arg;
    bool hasNumber = false;
    if (!arg.empty()) {
        char* end = nullptr;
        number = strtoul(arg.c_str(), &end, 0);
        hasNumber = end && *end == '\0';
    }
    std::string third;
    in >> third;
    auto ep = [&] { return arg == "in" ? vmod::Endpoint::In : vmod::Endpoint::Out; };
    if (word.empty()) {
    } else if (word == "quit") {
        return false;
    } else if (word == "silent" && (arg == "on" || arg == "off")) {
        m.setSilent(arg == "on");
    } else if (word == "garbage") {
        m.sendGarbage(hasNumber ? number : 16);
    } else if (word == "odd") {
        m.sendOddAddress();
    } else if (word == "heartbeat" && hasNumber) {
        m.sendHeartbeat(static_cast<uint8_t>(number));
    } else if (word == "stats") {
        _printStats(m);
    } else if (word == "samples") {
        n.emitSamples();
    } else if (word == "stream" && hasNumber) {
        n.setStreamInterval(static_cast<uint32_t>(number));
    } else if (word == "error" && hasNumber && !third.empty()) {
        std::string code;
        in >> code;
        n.router().failOption(static_cast<uint8_t>(number), static_cast<uint8_t>(strtoul(third.c_str(), nullptr, 0)),
                              static_cast<uint8_t>(strtoul(code.c_str(), nullptr, 0)));
    } else if (t.usb && word == "stall" && (arg == "in" || arg == "out")) {
        t.usb->stall(ep());
    } else if (t.usb && word == "fail" && (arg == "in" || arg == "out")) {
        t.usb->failTransfers(ep(), third.empty() ? 1u : static_cast<unsigned>(strtoul(third.c_str(), nullptr, 0)));
    } else if (t.usb && word == "disconnect") {
        t.usb->disconnect();
    } else if (t.usb && word == "reconnect") {
        t.usb->reconnect();
    } else if (t.tcp && word == "close") {
        t.tcp->closeConnection();
    } else if (t.tcp && word == "reset") {
        t.tcp->resetConnection();
    } else if (t.pty && word == "hangup") {
        t.pty->hangUp();
    } else if (t.pty && word == "reopen") {
        t.pty->reopen();
    } else {
        fprintf(stderr, "unknown command for this transport: %s\n", line.c_str());
    }
    return true;
}

int _runChild(char** argv) {
    std::string preload = "libumockdev-preload.so.0";
    if (const char* old = getenv("LD_PRELOAD"); old && *old && !strstr(old, "libumockdev-preload"))
        preload += std::string(":") + old;
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execvp(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return 1;
        if (_stopRequested)
            kill(pid, SIGTERM);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

} // namespace

int main(int argc, char** argv) {
    vmod::Config config;
    config.heartbeatMs = 1000;
    std::string transport, where;
    long seconds = -1;
    uint8_t model = 13;
    std::vector<std::pair<uint8_t, uint32_t>> behind;
    char** child = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s needs %s\n%s", a.c_str(), what, _usage);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--address") {
            unsigned long v = strtoul(value("a number").c_str(), nullptr, 0);
            if (v == 0 || v > 254 || (v & 1)) {
                fprintf(stderr, "the address must be even, 2 to 254\n");
                return 2;
            }
            config.address = static_cast<uint8_t>(v);
        } else if (a == "--serial") {
            config.serialNumber = static_cast<uint32_t>(strtoul(value("a hex number").c_str(), nullptr, 16));
        } else if (a == "--heartbeat") {
            config.heartbeatMs = static_cast<uint32_t>(strtoul(value("milliseconds").c_str(), nullptr, 0));
        } else if (a == "--model") {
            model = static_cast<uint8_t>(strtoul(value("a number").c_str(), nullptr, 0));
        } else if (a == "--behind") {
            std::string v = value("ADDRESS:SERIAL");
            size_t colon = v.find(':');
            unsigned long address = strtoul(v.c_str(), nullptr, 0);
            if (colon == std::string::npos || address == 0 || address > 254 || (address & 1)) {
                fprintf(stderr, "--behind needs an even address 2 to 254 and a serial number: A:HEX\n");
                return 2;
            }
            behind.emplace_back(static_cast<uint8_t>(address),
                                static_cast<uint32_t>(strtoul(v.c_str() + colon + 1, nullptr, 16)));
        } else if (a == "--for") {
            seconds = strtol(value("seconds").c_str(), nullptr, 0);
        } else if (a == "--tcp") {
            transport = "tcp";
            if (i + 1 < argc && argv[i + 1][0] != '-')
                where = argv[++i];
        } else if (a == "--node" || a == "--serial-port") {
            transport = a.substr(2);
            where = value("a path");
        } else if (a == "--usb") {
            transport = "usb";
        } else if (a == "--") {
            if (i + 1 < argc)
                child = &argv[i + 1];
            break;
        } else if (a == "-h" || a == "--help") {
            fputs(_usage, stdout);
            return 0;
        } else {
            fprintf(stderr, "unknown argument %s\n%s", a.c_str(), _usage);
            return 2;
        }
    }
    if (transport.empty() || (child && transport != "usb")) {
        fputs(_usage, stderr);
        return 2;
    }

    signal(SIGINT, _onSignal);
    signal(SIGTERM, _onSignal);
    signal(SIGPIPE, SIG_IGN);

    for (const auto& entry : behind) {
        if (entry.first == config.address) {
            fprintf(stderr, "a module behind cannot have the router's own address %u\n", config.address);
            return 2;
        }
    }
    vmod::Module module(config);
    vmod::DeviceConfig device;
    device.model = model;
    vmod::Network network(module, device);
    for (const auto& [address, serial] : behind) {
        vmod::DeviceConfig d;
        d.address = address;
        d.serialNumber = serial;
        network.addBehind(d);
        printf("module %u (serial %08X) behind it\n", address, serial);
    }
    _Transports t;
    try {
        if (transport == "tcp") {
            t.tcp = std::make_unique<vmod::TcpTransport>(module, static_cast<uint16_t>(atoi(where.c_str())));
            printf("module %u (serial %08X) listening on 127.0.0.1:%u\n", config.address,
                   config.serialNumber, t.tcp->port());
        } else if (transport == "node") {
            std::string node = vmod::PtyTransport::nodePath(where, config.serialNumber);
            t.pty = std::make_unique<vmod::PtyTransport>(module, vmod::PtyTransport::Kind::Node, node);
            printf("module %u (serial %08X) at node %s\n", config.address, config.serialNumber, node.c_str());
        } else if (transport == "serial-port") {
            t.pty = std::make_unique<vmod::PtyTransport>(module, vmod::PtyTransport::Kind::Serial, where);
            printf("module %u (serial %08X) on serial port %s (%s)\n", config.address,
                   config.serialNumber, where.c_str(), t.pty->slavePath().c_str());
        } else {
            t.bus = std::make_unique<vmod::UsbBus>();
            t.usb = std::make_unique<vmod::UsbTransport>(*t.bus, module);
            printf("module %u (serial %08X) on emulated USB %s; UMOCKDEV_DIR=%s\n", config.address,
                   config.serialNumber, t.usb->devnode().c_str(), t.bus->rootDir().c_str());
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "korvel-virtual-module: %s\n", e.what());
        return 1;
    }
    fflush(stdout);

    int status = 0;
    if (child) {
        status = _runChild(child);
    } else {
        long waitedMs = 0;
        std::string pending;
        bool input = true;
        while (!_stopRequested && (seconds < 0 || waitedMs < seconds * 1000)) {
            pollfd p = {input ? 0 : -1, POLLIN, 0};
            int ready = poll(&p, 1, 200);
            waitedMs += 200; // coarse; only bounds the run
            if (ready <= 0 || !(p.revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[256];
            ssize_t n = read(0, buffer, sizeof buffer);
            if (n <= 0) {
                input = false;
                if (seconds < 0)
                    break; // end of input ends an unbounded run
                continue;
            }
            pending.append(buffer, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (!_command(line, module, network, t))
                    _stopRequested = 1;
            }
        }
    }
    _printStats(module);
    return status;
}
