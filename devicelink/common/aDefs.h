// Module command codes, link-control addresses and model names shared across the system.
#ifndef KORVEL_ADEFS_H
#define KORVEL_ADEFS_H

#include <cstdint>

// Command codes (data byte 0 of a packet).
constexpr uint8_t cmdHEARTBEAT = 0;    // link keep-alive, answered by the engine
constexpr uint8_t cmdSYSTEM = 3;       // system entity
constexpr uint8_t cmdSLOT = 4;         // data slots
constexpr uint8_t cmdI2C = 8;          // I2C entity
constexpr uint8_t cmdECHO = 23;        // echo
constexpr uint8_t cmdMODULE_INFO = 73; // module information
constexpr uint8_t cmdSTREAM = 93;      // stream control
constexpr uint8_t cmdFACTORY = 94;     // factory data
constexpr uint8_t cmdUPGRADE = 95;     // firmware upgrade loader

// Link-control packet addresses: never module addresses (those are even).
constexpr uint8_t aLINK_ADDR_SYNC = 173; // length 0: synchronise and ask the module address
constexpr uint8_t cmdFORCEROUTE = 175;   // length 1: forced route on (1) or off (0)

// Display name of a module model number: a static text, "Unknown" for numbers without a name.
// Thread-safe.
const char* aDefs_GetModelName(uint32_t model);

#endif
