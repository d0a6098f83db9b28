// The package-masked debug log.
//
// Every diagnostic carries a package bit; it is written only when that package was activated
// (-X on the command line). Package 0 is always written. All members are static and
// unsynchronised: the log is configured once by main before any other thread starts.
#ifndef KORVEL_LOG_H
#define KORVEL_LOG_H

#include <cstdint>
#include <cstdio>

enum LogPackage : uint32_t {
    DEBUG_Updater = 0x1,
    DEBUG_History = 0x2,
    DEBUG_Attributes = 0x4,
    DEBUG_BirdFile = 0x8,
    DEBUG_Network = 0x10,
    DEBUG_ServerComm = 0x20,
    DEBUG_NetworkLink = 0x100, // shown as a second "DEBUG_Network" in the usage text
    DEBUG_Network_SR = 0x200,
    DEBUG_Network_FIRM = 0x400,
    DEBUG_NXPSerial = 0x1000,
    DEBUG_NXPSerial_E = 0x2000,
    DEBUG_NXPSerial_SR = 0x4000,
    DEBUG_APP = 0x10000,
    DEBUG_iMXSerial = 0x10000000,
};

class Log {
public:
    static uint32_t package_bitmask;
    static FILE* fh;
    static bool timestamped;
    static const char* const TIMESTAMP_FORMAT; // "%Y:%m:%d:%H:%M:%S"
    static const char* const SEPARATOR;        // " | "

    // Writes the formatted text (cut to 2047 characters) to fh when package is 0 or shares a
    // bit with package_bitmask. Adds no line end.
    static void log(unsigned package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

    static void SetOutput(FILE* stream) { fh = stream; }
    static void ActivatePackage(unsigned mask) { package_bitmask |= mask; }
    static void DeactivatePackage(unsigned mask) { package_bitmask &= ~mask; }
};

#endif
