// The library's trace switches. Traces go to standard output, one flushed line each, only when
// aKorvelDebuggingEnable is non-zero and the trace's bit is set in aKorvelDebuggingLevel. Both
// start at 0; the application never changes them.
#ifndef KORVEL_ADEBUGGING_H
#define KORVEL_ADEBUGGING_H

#include <atomic>
#include <cstdint>

extern std::atomic<uint8_t> aKorvelDebuggingEnable;
extern std::atomic<uint32_t> aKorvelDebuggingLevel;

// Trace bits.
constexpr uint32_t aDEBUG_LINK = 0x1;        // link life cycle, table, synchronisation steps
constexpr uint32_t aDEBUG_PACKETS = 0x2;     // packets received and written, heartbeats
constexpr uint32_t aDEBUG_SERVER = 0x4;      // shared-device server
constexpr uint32_t aDEBUG_MULTICAST = 0x8;   // multicast
constexpr uint32_t aDEBUG_DISCOVERY = 0x10;  // network discovery
constexpr uint32_t aDEBUG_CLIENT = 0x20;     // broker-client stream
constexpr uint32_t aDEBUG_NETWORKING = 0x40; // automatic networking of modules
constexpr uint32_t aDEBUG_BEACON = 0x200;    // discovery beacon interface
constexpr uint32_t aDEBUG_USB = 0x400;       // USB reads and writes

// True when traces of `bit` are switched on.
inline bool aDebugging_On(uint32_t bit) {
    return aKorvelDebuggingEnable.load(std::memory_order_relaxed) != 0 &&
           (aKorvelDebuggingLevel.load(std::memory_order_relaxed) & bit) != 0;
}

// Prints "<function>: <formatted text>" as one line when `bit` is on (a trailing newline in the
// format is not doubled).
void aDebugging_Trace(uint32_t bit, const char* function, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define aTRACE(bit, ...) aDebugging_Trace((bit), __func__, __VA_ARGS__)

#endif
