#include "ReferenceServer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int sStartSeconds = 20;
constexpr const char* sLifetimeSeconds = "300";

} // namespace

std::string pythonExe() {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/python3";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

ProcessResult runTool(const std::string& script, const std::vector<std::string>& args) {
    std::vector<std::string> all{std::string(KORVEL_SOURCE_DIR) + "/tools/" + script};
    all.insert(all.end(), args.begin(), args.end());
    return runProcess(pythonExe(), all);
}

const std::string& sampleCatalogue() {
    static TempDir folder;
    static bool made = false;
    if (!made) {
        ProcessResult r = runTool("birdwriter.py", {"sample-catalogue", folder.path()});
        if (r.status != 0) throw std::runtime_error("sample catalogue: " + r.err);
        made = true;
    }
    return folder.path();
}

void selfSignedCertificate(const TempDir& folder) {
    ProcessResult r = runProcess(
        "/usr/bin/openssl",
        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
         "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", folder.file("key.pem"), "-out",
         folder.file("cert.pem")});
    if (r.status != 0) throw std::runtime_error("openssl: " + r.err);
}

std::string closedServerUrl() {
    // Bound and closed again: the kernel hands the port out to nobody else for a while.
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("no loopback port");
    close(s);
    return "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/cgi/u";
}

ReferenceServer::ReferenceServer(const std::string& catalogue,
                                 const std::vector<std::string>& extra) {
    const std::string python = pythonExe();
    if (python.empty()) throw std::runtime_error("no python3 on PATH");
    std::vector<std::string> args{python,
                                  std::string(KORVEL_SOURCE_DIR) + "/tools/update_server.py",
                                  "--catalogue", catalogue, "--port", "0",
                                  "--port-file", dir_.file("port"),
                                  "--log", dir_.file("requests"),
                                  "--lifetime", sLifetimeSeconds, "--exit-on-stdin-eof"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    writeFile(dir_.file("requests"), "");

    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    const std::string errPath = dir_.file("stderr");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err >= 0) {
            dup2(err, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
        }
        execv(python.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    stdin_ = in[1];

    for (int i = 0; i < sStartSeconds * 20; ++i) {
        std::string text = readFile(dir_.file("port"));
        if (!text.empty()) {
            port_ = std::atoi(text.c_str());
            return;
        }
        int status;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string why = output();
    stop();
    throw std::runtime_error("reference server did not start: " + why);
}

ReferenceServer::~ReferenceServer() { stop(); }

void ReferenceServer::stop() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
}

std::string ReferenceServer::url(const char* scheme) const {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_) + "/cgi/u";
}

std::vector<std::string> ReferenceServer::requests() const {
    std::vector<std::string> lines;
    std::stringstream in(readFile(dir_.file("requests")));
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void ReferenceServer::clearRequests() const { writeFile(dir_.file("requests"), ""); }

std::string ReferenceServer::output() const { return readFile(dir_.file("stderr")); }
