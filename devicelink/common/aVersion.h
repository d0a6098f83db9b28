// Firmware version numbers and the library's own version.
//
// A module reports its firmware version as one 32-bit number in one of two layouts:
//   current: 0x2F marker in bits 24-31, major in 16-23, minor in 8-15, patch in 0-7
//   legacy:  major in bits 28-31, minor in 24-27, patch in 0-23
// A number is legacy when its top nibble is below 2, or is 2 with the next nibble below 15; the
// marker reads as 2.15 and so is never legacy. Versions from 2.15 on are packed in the current
// layout, older ones in the legacy layout, so every packed number decodes to its own parts.
//
// All functions are thread-safe.
#ifndef KORVEL_AVERSION_H
#define KORVEL_AVERSION_H

#include "aError.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t aVERSION_MARKER = 0x2F;

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
bool aVersion_IsLegacyFormat(uint32_t version);
uint8_t aVersion_ParseMajor(uint32_t version);
uint8_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version); // 24 bits wide in the legacy layout

// Writes "major.minor.patch" of version into buffer, truncated to size - 1 characters and
// NUL-terminated. Returns what snprintf returns (the untruncated length), or -1 for a null
// buffer with a non-zero size.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);

// True when major.minor.patch >= minMajor.minMinor.minPatch, compared part by part.
bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t minMajor,
                               uint8_t minMinor, uint8_t minPatch);

// The library's own version.
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
const char* aVersion_GetString(); // static text, built once
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// Library features: HasFeature is true for a listed feature name (false for null).
// GetFeatureList returns a new text of "name - description" lines joined by newlines (none
// after the last); caller owns it and releases it with aVersion_DestroyFeatureList, which also
// nulls the caller's pointer. Null when memory runs out.
bool aVersion_HasFeature(const char* name);
char* aVersion_GetFeatureList();
//   aErrParam  text or *text is null
aErr aVersion_DestroyFeatureList(char** text);

#endif
