#include "aDefs.h"

namespace {

struct ModelName {
    uint32_t model;
    const char* name;
};

constexpr ModelName sModelNames[] = {
    {4, "Korvel Hub 4"},          {5, "Korvel Hub 8"},          {13, "Korvel Hub 16"},
    {14, "Korvel Switch 2"},      {15, "Korvel Switch 4"},      {16, "Korvel Switch 8"},
    {17, "Korvel Digital IO 16"}, {18, "Korvel Digital IO 32"}, {19, "Korvel Analog IO 8"},
    {20, "Korvel Relay 4"},       {21, "Korvel Relay 8"},       {22, "Korvel Meter 1"},
    {23, "Korvel Meter 4"},       {24, "Korvel Load 1"},        {25, "Korvel Load 2"},
    {26, "Korvel Router"},
};
static_assert(sizeof(sModelNames) / sizeof(sModelNames[0]) == 16, "sixteen named models");

} // namespace

const char* aDefs_GetModelName(uint32_t model) {
    for (const auto& entry : sModelNames) {
        if (entry.model == model) return entry.name;
    }
    return "Unknown";
}
