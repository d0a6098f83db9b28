// Millisecond time and sleeping.
#ifndef KORVEL_ATIME_H
#define KORVEL_ATIME_H

#include <cstdint>

// Milliseconds since the Unix epoch from the wall clock (seconds * 1000 + microseconds / 1000).
// 0 when the clock cannot be read; never all-ones (that value is reported as 0). The wall clock
// can jump: use differences only for coarse deadlines.
uint64_t aTime_GetMSTicks();

// Sleeps for `milliseconds` (in slices of under a second, so long sleeps are not cut short by a
// single interrupted call); 0 returns at once.
void aTime_MSSleep(uint32_t milliseconds);

#endif
