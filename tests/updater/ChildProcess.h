// Runs a piece of a test in a forked child, optionally with a limit on the size of the files
// it may write (writes past it fail with EFBIG instead of killing the child).
#ifndef KORVEL_TEST_CHILDPROCESS_H
#define KORVEL_TEST_CHILDPROCESS_H

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// The child's exit status (the function's result), or -1 when it did not exit normally.
inline int inChild(const std::function<int()>& body, rlim_t fileSizeLimit = RLIM_INFINITY) {
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{fileSizeLimit, fileSizeLimit};
        if (fileSizeLimit != RLIM_INFINITY) setrlimit(RLIMIT_FSIZE, &limit);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

#endif
