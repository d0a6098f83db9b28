#include "aTime.h"

#include <cerrno>
#include <sys/time.h>
#include <time.h>

uint64_t aTime_GetMSTicks() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return 0;
    uint64_t ticks = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
    return ticks == UINT64_MAX ? 0 : ticks;
}

void aTime_MSSleep(uint32_t milliseconds) {
    uint64_t remaining = static_cast<uint64_t>(milliseconds) * 1000u;
    while (remaining > 0) {
        uint64_t slice = remaining > 999999u ? 999999u : remaining;
        struct timespec pause = {0, static_cast<long>(slice * 1000u)};
        // Resume after a signal so the slice is slept in full.
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
        remaining -= slice;
    }
}
