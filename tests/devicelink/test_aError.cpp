#include "aError.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

TEST(aError, TextsByCode) {
    struct Case {
        uint32_t code;
        const char* name;
        const char* description;
    } cases[] = {
        {0, "aErrNone", "Success, no error"},
        {2, "aErrParam", "Invalid parameter"},
        {18, "aErrTimeout", "Timeout occurred"},
        {27, "aErrShortCommand", "Korvel command to short"},
        {33, "aErrStreamStale", "Stream value is stale"},
        {34, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {1000, "aErrUnknown", "Unknown error"},
        {0xFFFFFFFFu, "aErrUnknown", "Unknown error"},
    };
    for (const auto& c : cases) {
        EXPECT_STREQ(aError_GetErrorText(c.code), c.name) << c.code;
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description) << c.code;
    }
}

TEST(aError, EveryCodeHasItsOwnName) {
    std::set<std::string> names;
    for (uint32_t code = 0; code < aErrCount; ++code) {
        std::string name = aError_GetErrorText(code);
        EXPECT_EQ(name.rfind("aErr", 0), 0u) << code;
        EXPECT_TRUE(names.insert(name).second) << "duplicate name " << name;
        EXPECT_STRNE(aError_GetErrorDescription(code), "") << code;
    }
}
