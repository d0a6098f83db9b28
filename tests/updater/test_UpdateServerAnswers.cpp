// The answer parsers on bodies as a server might send them; no network.
#include "UpdateServerRequest.h"

#include <gtest/gtest.h>

namespace {

HTTPResponse answer(const std::string& body, long status = 200) {
    HTTPResponse r("http://server/cgi/u?op=x&");
    r.set_status(status);
    r.process(body.data(), body.size());
    return r;
}

std::vector<std::string> builds(const BuildEntries& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.first);
    return out;
}

} // namespace

TEST(UpdateServerAnswers, FirstLineMustBeginWithOkOnStatus200) {
    struct Case {
        const char* body;
        long status;
        bool ok;
    } cases[] = {
        {"ok\n", 200, true},       {"okay", 200, true},      {"\n\nok\n", 200, true},
        {"ok\n", 404, false},      {"ok\n", 500, false},     {"no\nok\n", 200, false},
        {"", 200, false},          {"o", 200, false},        {" ok\n", 200, false},
    };
    for (const auto& c : cases) {
        HTTPResponse r = answer(c.body, c.status);
        EXPECT_EQ(UpdateServerRequest::ParsePing(r), c.ok) << c.body << " " << c.status;
    }
}

TEST(UpdateServerAnswers, QueryBuildSetsOnlyTheFieldsPresent) {
    struct Case {
        const char* body;
        bool ok;
        const char* build;
        const char* version;
    } cases[] = {
        {"ok\n123\n2.10.1\n", true, "123", "2.10.1"},
        {"ok\r\n123\r\n2.1.0\r\n", true, "123\r", "2.1.0"}, // the version line loses its CR
        {"ok\n\n\n77\n\n1.0.0", true, "77", "1.0.0"},
        {"ok\n77\n", true, "77", "keep"},
        {"ok\n", true, "keep", "keep"},
        {"denied\n1\n2\n", false, "keep", "keep"},
    };
    for (const auto& c : cases) {
        std::string build = "keep", version = "keep";
        HTTPResponse r = answer(c.body);
        EXPECT_EQ(UpdateServerRequest::ParseQueryBuild(r, build, version), c.ok) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(version, c.version) << c.body;
    }
}

TEST(UpdateServerAnswers, GetBuildTakesTheSecondLine) {
    struct Case {
        const char* body;
        long status;
        bool ok;
        const char* data;
    } cases[] = {
        {"ok\nQUJD\n", 200, true, "QUJD"},
        {"ok\nQUJD", 200, true, "QUJD"},
        {"ok\n", 200, true, ""},
        {"no\nQUJD\n", 200, false, "old"},
        {"ok\nQUJD\n", 404, false, "old"},
    };
    for (const auto& c : cases) {
        std::string data = "old";
        HTTPResponse r = answer(c.body, c.status);
        EXPECT_EQ(UpdateServerRequest::ParseGetBuild(r, data), c.ok) << c.body;
        EXPECT_EQ(data, c.data) << c.body;
    }
}

TEST(UpdateServerAnswers, BuildListLines) {
    struct Case {
        const char* body;
        bool ok;
        BuildList expected;
    } cases[] = {
        {"ok\n100;2.0.1\n99;2.1.0\n7\n", true, {{"100", "2.0.1"}, {"99", "2.1.0"}}},
        {"ok\r\n100;2.0.1\r\n100;9.9.9\r\n", true, {{"100", "2.0.1"}}},
        {"ok\n12345\n", true, {{"12345", ""}}},
        {"ok\n;;;\n\n", true, {}},
        {"ok\n;5;2.0.0\n", true, {{"5", "2.0.0"}}}, // an empty first field is passed over
        {"ok\n", true, {}},
        {"unknown device\n100;2.0.1\n", false, {}},
    };
    for (const auto& c : cases) {
        BuildList list{{"stale", "1.1.1"}};
        HTTPResponse r = answer(c.body);
        EXPECT_EQ(UpdateServerRequest::ParseGetBuildList(r, list), c.ok) << c.body;
        EXPECT_EQ(list, c.expected) << c.body;
    }
}

TEST(UpdateServerAnswers, RecoveryInfoNumbers) {
    struct Case {
        const char* body;
        bool ok;
        unsigned serial, build;
    } cases[] = {
        {"ok\n0000ABCD\n0x1F\n", true, 0xABCD, 31},
        {"ok\n40f5849a\n1203\r\n", true, 0x40F5849A, 1203},
        {"ok\n0000ABCD\n017\n", true, 0xABCD, 15}, // a leading 0 reads as octal
        {"ok\nzz\n12\n", true, 7, 12},             // an unreadable field is left alone
        {"ok\n1FFFFFFFF\n", true, 0xFFFFFFFF, 9},
        {"ok\n", true, 7, 9},
        {"fail\n0000ABCD\n1\n", false, 7, 9},
    };
    for (const auto& c : cases) {
        unsigned serial = 7, build = 9;
        HTTPResponse r = answer(c.body);
        EXPECT_EQ(UpdateServerRequest::ParseGetRecoveryInfo(r, &serial, &build), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(UpdateServerAnswers, TokenNeedsThreeParts) {
    struct Case {
        const char* body;
        bool ok;
        const char* token;
    } cases[] = {
        {"ok\naa.bb.cc\n", true, "aa.bb.cc"},
        {"ok\nhead.body.sig\r\n", true, "head.body.sig"},
        {"ok\nabcdef\n", false, ""},
        {"ok\na.bb.cc\n", false, ""},
        {"ok\naa.bb.c\n", false, ""},
        {"ok\naa.bb\n", false, ""},
        {"ok\nab\n", false, ""},
        {"ok\n", false, ""},
        {"nope\naa.bb.cc\n", false, ""},
    };
    for (const auto& c : cases) {
        std::string token;
        HTTPResponse r = answer(c.body);
        EXPECT_EQ(UpdateServerRequest::ParseGetDeviceJWT(r, token), c.ok) << c.body;
        EXPECT_EQ(token, c.token) << c.body;
    }
}

TEST(UpdateServerAnswers, VersionsSplitIntoExactlyThreeParts) {
    using V = std::vector<std::string>;
    EXPECT_EQ(UpdateServerRequest::SplitKorvelVersion("2.10.1"), (V{"2", "10", "1"}));
    EXPECT_EQ(UpdateServerRequest::SplitKorvelVersion("2.10"), V{});
    EXPECT_EQ(UpdateServerRequest::SplitKorvelVersion("2.10.1.4"), V{});
    EXPECT_EQ(UpdateServerRequest::SplitKorvelVersion(""), V{});
}

TEST(UpdateServerAnswers, SortPutsNewestVersionFirst) {
    using B = std::vector<std::string>;
    EXPECT_EQ(builds(UpdateServerRequest::SortBuildsByVersion(
                  {{"100", "2.0.1"}, {"99", "2.1.0"}, {"101", "2.0.10"}})),
              (B{"99", "101", "100"}));
    // Parts count modulo 256.
    EXPECT_EQ(builds(UpdateServerRequest::SortBuildsByVersion({{"a", "1.256.0"}, {"b", "1.0.1"}})),
              (B{"b", "a"}));
    // Malformed versions go last, in build order.
    EXPECT_EQ(builds(UpdateServerRequest::SortBuildsByVersion({{"1", "2.0"},
                                                               {"2", "3.0.0"},
                                                               {"3", "x.1.2"},
                                                               {"4", "1.0.0"},
                                                               {"5", ""},
                                                               {"6", "1.99999999999.0"}})),
              (B{"2", "4", "1", "3", "5", "6"}));
}

TEST(UpdateServerAnswers, SortOfManyMixedVersionsIsAConsistentOrder) {
    BuildList list;
    for (int i = 0; i < 500; ++i) {
        std::string version = (i % 3 == 0) ? "bad" : std::to_string(i % 7) + "." +
                                                         std::to_string(i % 11) + "." +
                                                         std::to_string(i % 5);
        list[std::to_string(1000 + i)] = version;
    }
    BuildEntries sorted = UpdateServerRequest::SortBuildsByVersion(list);
    ASSERT_EQ(sorted.size(), list.size());
    bool seenBad = false;
    std::vector<int> previous{99, 99, 99};
    for (const auto& [build, version] : sorted) {
        if (version == "bad") {
            seenBad = true;
            continue;
        }
        ASSERT_FALSE(seenBad) << "well-formed " << build << " after a malformed one";
        auto parts = UpdateServerRequest::SplitKorvelVersion(version);
        std::vector<int> key{std::stoi(parts[0]), std::stoi(parts[1]), std::stoi(parts[2])};
        EXPECT_LE(key, previous) << build;
        previous = key;
    }
}
