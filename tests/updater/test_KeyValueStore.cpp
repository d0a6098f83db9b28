#include "KeyValueStore.h"

#include <filesystem>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "TestProcess.h"

namespace {

using Entries = std::map<std::string, std::string>;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    return out;
}

std::vector<std::string> keysOf(const std::string& text) {
    std::vector<std::string> keys;
    for (const auto& l : lines(text)) keys.push_back(l.substr(0, l.find('=')));
    return keys;
}

size_t filesIn(const std::string& dir) {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(dir)) n += e.is_regular_file();
    return n;
}

} // namespace

TEST(KeyValueStore, ReadsLinesAsTheFileFormatSays) {
    struct Case {
        std::string text;
        Entries entries;
    } cases[] = {
        {"  KEY  =  some value  \r\n", {{"KEY", "some value"}}},
        {"#KEY=1\n", {}},
        {" #KEY=1\n", {{"#KEY", "1"}}},
        {"A\n", {}},
        {"A=\n", {{"A", ""}}},
        {"K=1\nK=2\n", {{"K", "2"}}},
        {"A=b=c\n", {{"A", "b=c"}}},
        {"AB\n=x\n\n", {}},
        {"A=1", {{"A", "1"}}},
        {"A=1\n" + std::string(3000, 'x') + "=y\nB=2\n", {{"A", "1"}}},
        {"A=1\n" + std::string(2047, 'v') + "\nB=2\n", {{"A", "1"}}},
        {"A=1\n" + std::string(2046, 'v') + "\nB=2\n", {{"A", "1"}, {"B", "2"}}},
        {"A=" + std::string(2040, 'v') + "\nB=2\n", {{"A", std::string(2040, 'v')}, {"B", "2"}}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        writeFile(dir.file("a"), c.text);
        KeyValueStore store;
        EXPECT_EQ(store.Load(dir.file("a").c_str()), aErrNone);
        EXPECT_EQ(store.Entries(), c.entries) << c.text.substr(0, 40);
        EXPECT_FALSE(store.IsDirty());
        EXPECT_EQ(store.Path(), dir.file("a"));
    }
}

TEST(KeyValueStore, MissingFileIsCreatedWithItsTimeStamps) {
    TempDir dir;
    KeyValueStore store(dir.file(".settings").c_str());
    EXPECT_EQ(keysOf(readFile(dir.file(".settings"))),
              (std::vector<std::string>{"CREATED_TIME", "UPDATED_TIME"}));
    EXPECT_EQ(store.Entries().size(), 2u);
    const std::string stamp = store.GetString("CREATED_TIME", nullptr);
    EXPECT_EQ(stamp.size(), 24u) << stamp; // as ctime() writes it, without the line end
    KeyValueStore other;
    EXPECT_EQ(other.Load(dir.file("no/such/dir/.settings").c_str()), aErrParam);
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
}

TEST(KeyValueStore, SavesInKeyOrderAndRecordsLookedUpKeys) {
    TempDir dir;
    KeyValueStore store;
    store.Add("B", 1);
    store.Add("a", 2.5);
    store.AddHex("A", 0xABCD);
    EXPECT_EQ(store.GetInt("LATEST_DOWNLOAD", 7), 7);
    EXPECT_EQ(store.GetString("NOT_RECORDED", "d"), "d");
    ASSERT_TRUE(store.Save(dir.file("s").c_str()));
    std::vector<std::string> written = lines(readFile(dir.file("s")));
    ASSERT_EQ(written.size(), 5u);
    EXPECT_EQ(written[0], "A=0x0000ABCD");
    EXPECT_EQ(written[1], "B=1");
    EXPECT_EQ(written[2], "LATEST_DOWNLOAD=");
    EXPECT_EQ(written[3].rfind("UPDATED_TIME=", 0), 0u);
    EXPECT_EQ(written[4], "a=2.500000");
    EXPECT_EQ(filesIn(dir.path()), 1u) << "no temporary file is left";
}

TEST(KeyValueStore, TypedGetters) {
    TempDir dir;
    writeFile(dir.file("t"), "I=12345.bird\nH=0x1F\nh=ff\nT=2\nF=0\nD=2.5\nE=\n");
    KeyValueStore s(dir.file("t").c_str());
    EXPECT_EQ(s.GetInt("I", 0), 12345);
    EXPECT_EQ(s.GetHex("H", 0), 31u);
    EXPECT_EQ(s.GetHex("h", 0), 255u);
    EXPECT_TRUE(s.GetBOOL("T", false));
    EXPECT_FALSE(s.GetBOOL("F", true));
    EXPECT_DOUBLE_EQ(s.GetDouble("D", 0), 2.5);
    EXPECT_EQ(s.GetInt("E", -3), -3);
    EXPECT_EQ(s.GetHex("missing", 9), 9u);
    EXPECT_STREQ(s["missing"], "");
    EXPECT_EQ(s["absent"], nullptr);
    EXPECT_FALSE(s.IsDirty()) << "looking up never makes the store dirty";
}

TEST(KeyValueStore, UpdatedTimeChangesOnlyWithTheEntries) {
    TempDir dir;
    writeFile(dir.file("u"), "K=1\nUPDATED_TIME=old\n");
    KeyValueStore s(dir.file("u").c_str());
    s.Add("K", "1");
    EXPECT_FALSE(s.IsDirty());
    ASSERT_TRUE(s.Save());
    EXPECT_EQ(readFile(dir.file("u")), "K=1\nUPDATED_TIME=old\n");
    s.Add("K", std::string("2"));
    s.Add("K", std::string("2"));
    EXPECT_TRUE(s.IsDirty());
    ASSERT_TRUE(s.Save());
    EXPECT_FALSE(s.IsDirty());
    EXPECT_EQ(s.GetString("K", nullptr), "2");
    EXPECT_NE(s.GetString("UPDATED_TIME", nullptr), "old");

    KeyValueStore other, empty;
    other.Add("X", "y");
    ASSERT_TRUE(s.Save());
    s.Add(empty);
    EXPECT_FALSE(s.IsDirty());
    s.Add(other);
    EXPECT_TRUE(s.IsDirty());
    EXPECT_STREQ(s["X"], "y");
    s.Clear();
    EXPECT_TRUE(s.IsDirty());
    EXPECT_TRUE(s.Entries().empty());
}

TEST(KeyValueStore, FailedSaveLeavesTheOldFileWhole) {
    TempDir dir;
    const std::string path = dir.file(".settings");
    const std::string old = "LATEST_DOWNLOAD=100.bird\nUPDATED_TIME=old\n";
    writeFile(path, old);
    // The new file would be larger than the process may write.
    int status = inChild(
        [&] {
            KeyValueStore s(path.c_str());
            for (int i = 0; i < 40; ++i) s.Add(("KEY" + std::to_string(i)).c_str(), std::string(80, 'v'));
            return s.Save() ? 1 : 0;
        },
        1024);
    EXPECT_EQ(status, 0) << "Save reported success";
    EXPECT_EQ(readFile(path), old);
    EXPECT_EQ(filesIn(dir.path()), 1u) << "no temporary file is left";

    KeyValueStore s;
    s.Add("A", "1");
    EXPECT_FALSE(s.Save(dir.file("missing/.settings").c_str()));
}
