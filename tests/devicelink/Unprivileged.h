// Runs a piece of a test in a child process without root's privileges, so that permission
// failures happen also when the suite runs as root.
#ifndef KORVEL_TEST_UNPRIVILEGED_H
#define KORVEL_TEST_UNPRIVILEGED_H

#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

// body returns 0 when everything it checked held, else a code naming the failed check. Its
// standard output and error go to outPath and errPath when given. Returns the child's code
// (98 or 99 when the child could not be prepared).
inline int runUnprivileged(const std::function<int()>& body, const std::string& outPath = "",
                           const std::string& errPath = "") {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) return 97;
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
        for (auto [path, fd] : {std::pair{outPath, 1}, std::pair{errPath, 2}}) {
            if (path.empty()) continue;
            const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (file < 0 || dup2(file, fd) < 0) _exit(98);
            close(file);
        }
        const int result = body();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(result);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return 97;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

#endif
