#include "TestProcess.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

std::vector<std::string> sMergedEnvironment(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const char* eq = strchr(*e, '=');
        if (eq) merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (const auto& [k, v] : extra) merged[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : merged) out.push_back(k + "=" + v);
    return out;
}

double sNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

} // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
    std::vector<std::string> envStrings = sMergedEnvironment(options.env);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    int outFd = -1;
    int outPipe[2] = {-1, -1};
    pid_t pid;
    if (options.onTerminal) {
        termios raw{};
        cfmakeraw(&raw);
        winsize ws{24, 100, 0, 0};
        pid = forkpty(&outFd, nullptr, &raw, &ws);
    } else {
        if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid = fork();
        outFd = outPipe[0];
    }
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        if (!options.onTerminal) dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, STDIN_FILENO);
        if (options.uid >= 0 && (setgid(static_cast<gid_t>(options.uid)) != 0 ||
                                 setuid(static_cast<uid_t>(options.uid)) != 0))
            _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(errPipe[1]);
    if (outPipe[1] >= 0) close(outPipe[1]);

    ProcessResult result;
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    double deadline = sNow() + options.timeoutSeconds;
    bool killed = false;
    while (open > 0) {
        int left = static_cast<int>((deadline - sNow()) * 1000);
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        int n = poll(fds, 2, left);
        if (n < 0 && errno == EINTR) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t got = read(fds[i].fd, buf, sizeof(buf));
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                // A pty master reports EIO once the child side is closed.
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    if (killed) result.status = -1;
    return result;
}

TempDir::TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}
