// One request out and one reply back through the link engine over TCP on loopback against the
// virtual module, beside a raw socket ping-pong of the same frames against the same kind of
// module; a UEI 32-bit get through Module and SystemClass beside the same frames by hand against
// the full virtual module; then the CPU that one idle connected link costs.
//
//   build/bench/bench_link [--benchmark_...]
//
// The summary at the end gives p50 and p99 of every round trip and the engine/raw ratios.
#include "Module.h"
#include "Network.h"
#include "SystemClass.h"
#include "TcpTransport.h"
#include "VirtualModule.h"
#include "aLink.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

typedef std::chrono::steady_clock Clock;

constexpr uint8_t kAddress = 4;
constexpr int kIterations = 4000;

vmod::Config moduleConfig() {
    vmod::Config c;
    c.address = kAddress;
    c.heartbeatMs = 0;
    return c;
}

struct Percentiles {
    double p50 = 0, p99 = 0;
};

// Round-trip samples of the run, by benchmark name and frame size.
struct Samples {
    std::map<std::pair<std::string, int64_t>, Percentiles> results;
};
Samples& samples() {
    static Samples s;
    return s;
}

Percentiles percentiles(std::vector<double> us) {
    Percentiles p;
    if (us.empty())
        return p;
    std::sort(us.begin(), us.end());
    p.p50 = us[us.size() / 2];
    p.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    return p;
}

void report(benchmark::State& state, const char* name, const std::vector<double>& us) {
    Percentiles p = percentiles(us);
    state.counters["p50_us"] = p.p50;
    state.counters["p99_us"] = p.p99;
    samples().results[{name, state.range(0)}] = p;
}

// An echo request with `size` data bytes (the command byte included).
std::vector<uint8_t> echoData(int64_t size) {
    std::vector<uint8_t> data(static_cast<size_t>(size));
    data[0] = 23;
    for (size_t i = 1; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    return data;
}

uint8_t selectEcho(const aPacket* p, void*) { return p->dataSize >= 1 && p->data[0] == 23; }

void BM_EngineRoundTrip(benchmark::State& state) {
    vmod::Module module(moduleConfig());
    vmod::TcpTransport tcp(module);
    aLinkRef link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), tcp.port());
    if (link == 0 || aLink_Sync(link) != aErrNone) {
        state.SkipWithError("no link");
        return;
    }
    std::vector<uint8_t> data = echoData(state.range(0));
    aPacket* request = aPacket_CreateWithData(kAddress, data.size(), data.data());
    std::vector<double> us;
    us.reserve(kIterations);
    for (auto _ : state) {
        auto start = Clock::now();
        if (aLink_PutPacket(link, request) != aErrNone) {
            state.SkipWithError("put failed");
            break;
        }
        aPacket* reply = aLink_AwaitFirst(link, selectEcho, nullptr, 1000);
        auto end = Clock::now();
        if (reply == nullptr || reply->dataSize != data.size()) {
            state.SkipWithError("no reply");
            break;
        }
        (void)aPacket_Destroy(&reply);
        us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    (void)aPacket_Destroy(&request);
    (void)aLink_Destroy(&link);
    report(state, "engine", us);
}

bool readAll(int fd, uint8_t* into, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t n = read(fd, into + done, count - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Writes `frame` and reads `replyLength` bytes back, again and again, on a plain socket to the
// module's listener.
void rawPingPong(benchmark::State& state, uint16_t port, const std::vector<uint8_t>& frame, size_t replyLength,
                 const char* name) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        state.SkipWithError("no connection");
        if (fd >= 0)
            close(fd);
        return;
    }
    std::vector<uint8_t> back(replyLength);
    std::vector<double> us;
    us.reserve(kIterations);
    for (auto _ : state) {
        auto start = Clock::now();
        if (write(fd, frame.data(), frame.size()) != ssize_t(frame.size()) ||
            !readAll(fd, back.data(), back.size())) {
            state.SkipWithError("ping-pong failed");
            break;
        }
        auto end = Clock::now();
        us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    close(fd);
    report(state, name, us);
}

void BM_RawSocketRoundTrip(benchmark::State& state) {
    vmod::Module module(moduleConfig());
    vmod::TcpTransport tcp(module);
    std::vector<uint8_t> data = echoData(state.range(0));
    std::vector<uint8_t> frame = {kAddress, static_cast<uint8_t>(data.size())};
    frame.insert(frame.end(), data.begin(), data.end());
    rawPingPong(state, tcp.port(), frame, frame.size(), "raw");
}

// A UEI 32-bit get (the system entity's serial number, 3 request and 7 reply data bytes)
// through Module and SystemClass against the full virtual module.
void BM_UEIGetRoundTrip(benchmark::State& state) {
    vmod::Module module(moduleConfig());
    vmod::Network network(module);
    vmod::TcpTransport tcp(module);
    Olvarin::Korvel::VeluneConfig off;
    off.enabled = 0;
    off.fallback = 0;
    linkSpec spec;
    memset(&spec, 0, sizeof spec);
    spec.type = TCPIP;
    spec.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.ip.ipPort = tcp.port();
    Olvarin::Korvel::Module m(kAddress);
    Olvarin::Korvel::SystemClass system;
    if (m.setConfig(off) != aErrNone || m.connectFromSpec(spec) != aErrNone || system.init(&m, 0) != aErrNone) {
        state.SkipWithError("no module");
        return;
    }
    std::vector<double> us;
    us.reserve(kIterations);
    for (auto _ : state) {
        uint32_t serial = 0;
        auto start = Clock::now();
        aErr e = system.getSerialNumber(&serial);
        auto end = Clock::now();
        if (e != aErrNone || serial != module.config().serialNumber) {
            state.SkipWithError("no reply");
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    report(state, "uei", us);
}

// The same request and reply frames by hand.
void BM_RawUEIRoundTrip(benchmark::State& state) {
    vmod::Module module(moduleConfig());
    vmod::Network network(module);
    vmod::TcpTransport tcp(module);
    const std::vector<uint8_t> get = {kAddress, 3, 3, 0x49, 0x20};
    rawPingPong(state, tcp.port(), get, 2 + 7, "raw uei");
}

BENCHMARK(BM_EngineRoundTrip)->Arg(4)->Arg(28)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawSocketRoundTrip)->Arg(4)->Arg(28)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UEIGetRoundTrip)->Arg(7)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawUEIRoundTrip)->Arg(7)->Iterations(kIterations)->Unit(benchmark::kMicrosecond);

double processCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Share of one core used over `seconds` of wall time while nothing is sent.
double idleShare(double seconds) {
    double cpu = processCpuSeconds();
    auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return (processCpuSeconds() - cpu) / wall;
}

void idleCost() {
    constexpr double kSeconds = 4.0;
    vmod::Module module(moduleConfig());
    vmod::TcpTransport tcp(module);
    double moduleOnly = idleShare(kSeconds);
    aLinkRef link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), tcp.port());
    if (link == 0 || aLink_Sync(link) != aErrNone) {
        printf("idle link: no link\n");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    double withLink = idleShare(kSeconds);
    printf("idle CPU over %.0f s: module alone %.3f %% of a core, with one connected link %.3f %%"
           " (the link: %.3f %%)\n",
           kSeconds, 100 * moduleOnly, 100 * withLink, 100 * (withLink - moduleOnly));
    (void)aLink_Destroy(&link);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    printf("\nround trip (us)         p50      p99\n");
    for (int64_t size : {4, 28}) {
        auto& r = samples().results;
        auto e = r.find({"engine", size});
        auto w = r.find({"raw", size});
        if (e == r.end() || w == r.end())
            continue;
        printf("%2lld data bytes engine %8.1f %8.1f\n", (long long)size, e->second.p50, e->second.p99);
        printf("%2lld data bytes raw    %8.1f %8.1f\n", (long long)size, w->second.p50, w->second.p99);
        printf("%2lld data bytes ratio  %8.2f %8.2f\n", (long long)size,
               e->second.p50 / w->second.p50, e->second.p99 / w->second.p99);
    }
    auto& r = samples().results;
    auto u = r.find({"uei", 7});
    auto w = r.find({"raw uei", 7});
    if (u != r.end() && w != r.end()) {
        printf("UEI 32-bit get Module  %8.1f %8.1f\n", u->second.p50, u->second.p99);
        printf("UEI 32-bit get raw     %8.1f %8.1f\n", w->second.p50, w->second.p99);
        printf("UEI 32-bit get ratio   %8.2f %8.2f\n", u->second.p50 / w->second.p50,
               u->second.p99 / w->second.p99);
    }
    idleCost();
    return 0;
}
