// Result codes of the device-link library.
//
// Every library operation returns an aErr; 0 (aErrNone) is success. Modules report UEI errors
// with the same codes, so one table covers host and device. The values are part of the wire
// protocol and of stored logs: they are never renumbered and new codes only ever go at the end.
#ifndef KORVEL_AERROR_H
#define KORVEL_AERROR_H

#include <cstdint>

// [[nodiscard]] on the type makes every function that returns an aErr warn when its result is
// dropped; cast to (void) where ignoring it is deliberate.
enum [[nodiscard]] aErr : uint32_t {
    aErrNone = 0,
    aErrMemory = 1,
    aErrParam = 2,
    aErrNotFound = 3,
    aErrFileNameLength = 4,
    aErrBusy = 5,
    aErrIO = 6,
    aErrMode = 7,
    aErrWrite = 8,
    aErrRead = 9,
    aErrEOF = 10,
    aErrNotReady = 11,
    aErrPermission = 12,
    aErrRange = 13,
    aErrSize = 14,
    aErrOverrun = 15,
    aErrParse = 16,
    aErrConfiguration = 17,
    aErrTimeout = 18,
    aErrInitialization = 19,
    aErrVersion = 20,
    aErrUnimplemented = 21,
    aErrDuplicate = 22,
    aErrCancel = 23,
    aErrPacket = 24,
    aErrConnection = 25,
    aErrIndexRange = 26,
    aErrShortCommand = 27,
    aErrInvalidEntity = 28,
    aErrInvalidOption = 29,
    aErrResource = 30,
    aErrMedia = 31,
    aErrAsyncReturn = 32,
    aErrStreamStale = 33,
    aErrUnknown = 34,
};

// Number of codes; any value at or above it is treated as aErrUnknown by the text functions.
constexpr uint32_t aErrCount = 35;

// The code's own name ("aErrTimeout"). Static text; never null.
const char* aError_GetErrorText(uint32_t err);

// The code's description ("Timeout occurred"). Static text; never null.
const char* aError_GetErrorDescription(uint32_t err);

#endif
