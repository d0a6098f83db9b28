#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t sLibraryMajor = 2;
constexpr uint8_t sLibraryMinor = 11;
constexpr uint8_t sLibraryPatch = 1;
constexpr const char* sPhaseSeparator = ".";

struct Feature {
    const char* name;
    const char* description;
};

constexpr Feature sFeatures[] = {
    {"VERSION", "Version Query API"},
};

constexpr const char* sFeatureSeparator = " - ";

} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14)) {
        return (static_cast<uint32_t>(aVERSION_MARKER) << 24) |
               (static_cast<uint32_t>(major) << 16) | (static_cast<uint32_t>(minor) << 8) | patch;
    }
    return (static_cast<uint32_t>(major) << 28) | (static_cast<uint32_t>(minor & 0x0F) << 24) |
           patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
    const uint32_t major = version >> 28;
    const uint32_t minor = (version >> 24) & 0x0F;
    return major < 2 || (major == 2 && minor < 15);
}

uint8_t aVersion_ParseMajor(uint32_t version) {
    if (aVersion_IsLegacyFormat(version)) return static_cast<uint8_t>(version >> 28);
    return static_cast<uint8_t>(version >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t version) {
    if (aVersion_IsLegacyFormat(version)) return static_cast<uint8_t>((version >> 24) & 0x0F);
    return static_cast<uint8_t>(version >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t version) {
    if (aVersion_IsLegacyFormat(version)) return version & 0x00FFFFFF;
    return version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
    if (!buffer && size != 0) return -1;
    return std::snprintf(buffer, size, "%u.%u.%u", unsigned{aVersion_ParseMajor(version)},
                         unsigned{aVersion_ParseMinor(version)},
                         static_cast<unsigned>(aVersion_ParsePatch(version)));
}

bool aVersion_IsAtLeastCompare(uint8_t major, uint8_t minor, uint8_t patch, uint8_t minMajor,
                               uint8_t minMinor, uint8_t minPatch) {
    if (major != minMajor) return major > minMajor;
    if (minor != minMinor) return minor > minMinor;
    return patch >= minPatch;
}

uint8_t aVersion_GetMajor() {
    return sLibraryMajor;
}
uint8_t aVersion_GetMinor() {
    return sLibraryMinor;
}
uint8_t aVersion_GetPatch() {
    return sLibraryPatch;
}

const char* aVersion_GetString() {
    // Function-local static: built exactly once, also when first called from several threads.
    struct Text {
        char text[15];
        Text() {
            std::snprintf(text, sizeof(text), "%d.%d%s%d", sLibraryMajor, sLibraryMinor,
                          sPhaseSeparator, sLibraryPatch);
        }
    };
    static const Text cached;
    return cached.text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(sLibraryMajor, sLibraryMinor, sLibraryPatch, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const auto& feature : sFeatures) {
        if (std::strcmp(feature.name, name) == 0) return true;
    }
    return false;
}

char* aVersion_GetFeatureList() {
    size_t length = 0;
    for (const auto& feature : sFeatures)
        length += std::strlen(feature.name) + std::strlen(sFeatureSeparator) +
                  std::strlen(feature.description) + 1; // newline, or the final NUL
    auto* text = static_cast<char*>(std::malloc(length));
    if (!text) return nullptr;
    size_t used = 0;
    for (const auto& feature : sFeatures) {
        const int n = std::snprintf(text + used, length - used, "%s%s%s%s", used ? "\n" : "",
                                    feature.name, sFeatureSeparator, feature.description);
        if (n < 0) {
            std::free(text);
            return nullptr;
        }
        used += static_cast<size_t>(n);
    }
    return text;
}

aErr aVersion_DestroyFeatureList(char** text) {
    if (!text || !*text) return aErrParam;
    std::free(*text);
    *text = nullptr;
    return aErrNone;
}
