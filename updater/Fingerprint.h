// The four 32-bit words that identify a module's processor to the update server when its
// firmware no longer runs; printed "[ %08X %08X %08X %08X ]", word 0 first.
#ifndef KORVEL_FINGERPRINT_H
#define KORVEL_FINGERPRINT_H

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

#endif
