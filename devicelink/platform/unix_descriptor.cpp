#include "unix_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

int unix_KeepOffZero(int fd) {
    if (fd != 0)
        return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
    close(fd);
    return moved;
}
