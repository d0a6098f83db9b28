#include "aDefs.h"
#include "aVersion.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

TEST(aVersion, PackAndDecode) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t packed;
        bool legacy;
    } cases[] = {
        {2, 15, 0, 0x2F020F00, false}, {2, 14, 7, 0x2E000007, true},
        {1, 3, 200, 0x130000C8, true}, {0, 0, 0, 0x00000000, true},
        {3, 0, 0, 0x2F030000, false},  {255, 255, 255, 0x2FFFFFFF, false},
        {2, 11, 1, 0x2B000001, true},  {2, 200, 9, 0x2F02C809, false},
    };
    for (const auto& c : cases) {
        const uint32_t v = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(v, c.packed) << int(c.major) << "." << int(c.minor) << "." << int(c.patch);
        EXPECT_EQ(aVersion_IsLegacyFormat(v), c.legacy) << std::hex << v;
        EXPECT_EQ(aVersion_ParseMajor(v), c.major) << std::hex << v;
        EXPECT_EQ(aVersion_ParseMinor(v), c.minor) << std::hex << v;
        EXPECT_EQ(aVersion_ParsePatch(v), c.patch) << std::hex << v;
    }
}

TEST(aVersion, PackRoundTripsEveryRepresentableVersion) {
    for (int major = 0; major < 256; ++major)
        for (int minor = 0; minor < 256; ++minor) {
            // Legacy versions keep only four bits of minor.
            if (major < 2 || (major == 2 && minor < 15)) {
                if (minor > 15) continue;
            }
            for (int patch : {0, 1, 127, 255}) {
                uint32_t v = aVersion_Pack(uint8_t(major), uint8_t(minor), uint8_t(patch));
                ASSERT_EQ(aVersion_ParseMajor(v), major) << std::hex << v;
                ASSERT_EQ(aVersion_ParseMinor(v), minor) << std::hex << v;
                ASSERT_EQ(aVersion_ParsePatch(v), uint32_t(patch)) << std::hex << v;
            }
        }
}

TEST(aVersion, LegacyPatchIsTwentyFourBits) {
    EXPECT_EQ(aVersion_ParsePatch(0x1AFFFFFF), 0xFFFFFFu);
    char text[32];
    EXPECT_EQ(aVersion_ParseString(0x1AFFFFFF, text, sizeof(text)), 13);
    EXPECT_STREQ(text, "1.10.16777215");
}

TEST(aVersion, ParseStringIsBounded) {
    char text[16];
    EXPECT_EQ(aVersion_ParseString(0x2F030102, text, sizeof(text)), 5);
    EXPECT_STREQ(text, "3.1.2");

    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(aVersion_ParseString(0x2F0A0B0C, small, sizeof(small)), 8);
    EXPECT_STREQ(small, "10.");
    EXPECT_EQ(aVersion_ParseString(0x2F0A0B0C, nullptr, 0), 8);
    EXPECT_EQ(aVersion_ParseString(0x2F0A0B0C, nullptr, 4), -1);
}

TEST(aVersion, IsAtLeastCompare) {
    struct Case {
        uint8_t a[3], b[3];
        bool atLeast;
    } cases[] = {
        {{2, 11, 1}, {2, 11, 1}, true},   {{2, 11, 0}, {2, 11, 1}, false},
        {{3, 0, 0}, {2, 200, 200}, true}, {{2, 10, 255}, {2, 11, 0}, false},
        {{2, 12, 0}, {2, 11, 9}, true},   {{1, 255, 255}, {2, 0, 0}, false},
        {{0, 0, 0}, {0, 0, 0}, true},     {{255, 255, 255}, {255, 255, 254}, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.a[0], c.a[1], c.a[2], c.b[0], c.b[1], c.b[2]),
                  c.atLeast)
            << int(c.a[0]) << "." << int(c.a[1]) << "." << int(c.a[2]) << " vs " << int(c.b[0])
            << "." << int(c.b[1]) << "." << int(c.b[2]);
}

TEST(aVersion, LibraryVersion) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 11);
    EXPECT_EQ(aVersion_GetPatch(), 1);
    const char* s = aVersion_GetString();
    EXPECT_STREQ(s, "2.11.1");
    EXPECT_EQ(aVersion_GetString(), s); // cached
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 1));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 200));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 2));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(aVersion, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrParam);
    EXPECT_EQ(aVersion_DestroyFeatureList(nullptr), aErrParam);
}

TEST(aDefs, ModelNames) {
    std::set<std::string> names;
    for (uint32_t model = 0; model < 300; ++model) {
        const bool named = model == 4 || model == 5 || (model >= 13 && model <= 26);
        const std::string name = aDefs_GetModelName(model);
        if (named) {
            EXPECT_NE(name, "Unknown") << model;
            EXPECT_TRUE(names.insert(name).second) << "duplicate " << name;
        } else {
            EXPECT_EQ(name, "Unknown") << model;
        }
    }
    EXPECT_EQ(names.size(), 16u);
    EXPECT_STREQ(aDefs_GetModelName(0xFFFFFFFFu), "Unknown");
}
