#include "aDirectory.h"
#include "TestProcess.h"
#include "Unprivileged.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isDir(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs body with the working directory set to dir, restoring it afterwards.
template <typename F> void inDirectory(const std::string& dir, F body) {
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof(old)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    body();
    ASSERT_EQ(chdir(old), 0);
}

} // namespace

TEST(aDirectory, Exists) {
    TempDir dir;
    writeFile(dir.file("f"), "");
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("f").c_str()));
    EXPECT_FALSE(aDirectory_Exists(dir.file("none").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST(aDirectory, EnsureMakesEveryMissingParent) {
    TempDir dir;
    mkdir(dir.file("have").c_str(), 0755);
    mkdir(dir.file("have/this").c_str(), 0755);
    struct Case {
        std::string path;
        std::string check; // deepest directory that must exist afterwards
    } cases[] = {
        {dir.file("a/b/c"), dir.file("a/b/c")},
        {dir.file("have/this/x/y"), dir.file("have/this/x/y")},
        {dir.file("have"), dir.file("have")},
        {dir.file("t/u/"), dir.file("t/u")},
        {dir.file("double//slash"), dir.file("double/slash")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aDirectory_Ensure(c.path.c_str(), 0755), aErrNone) << c.path;
        EXPECT_TRUE(isDir(c.check)) << c.check;
    }
    inDirectory(dir.path(), [] {
        EXPECT_EQ(aDirectory_Ensure("x/y/z", 0700), aErrNone);
        EXPECT_TRUE(isDir("x"));
        EXPECT_TRUE(isDir("x/y"));
        EXPECT_TRUE(isDir("x/y/z"));
        EXPECT_EQ(aDirectory_Ensure("single", 0700), aErrNone);
        EXPECT_TRUE(isDir("single"));
    });
    struct stat st;
    ASSERT_EQ(stat(dir.file("x/y").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(aDirectory, EnsureFailures) {
    TempDir dir;
    writeFile(dir.file("file"), "");
    EXPECT_EQ(aDirectory_Ensure(dir.file("file").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(dir.file("file/below").c_str(), 0755), aErrPermission);
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure((dir.path() + "/" + std::string(4100, 'n')).c_str(), 0755),
              aErrFileNameLength);
    // Files made here belong to the test's user; the check runs as a user that may not write.
    chmod(dir.path().c_str(), 0755);
    mkdir(dir.file("ro").c_str(), 0555);
    const std::string below = dir.file("ro/a/b");
    EXPECT_EQ(runUnprivileged(
                  [&] { return aDirectory_Ensure(below.c_str(), 0755) == aErrPermission ? 0 : 1; }),
              0);
    chmod(dir.file("ro").c_str(), 0755);
    EXPECT_FALSE(isDir(dir.file("ro/a")));
}

namespace {

struct Listing {
    std::map<std::string, std::pair<uint32_t, uint32_t>> entries; // path -> size, directory
    int stopAfter = -1;
};

bool collect(const aDirectoryListData* entry, void* reference) {
    auto* listing = static_cast<Listing*>(reference);
    listing->entries[entry->path] = {entry->size, entry->isDirectory};
    return listing->stopAfter < 0 || int(listing->entries.size()) < listing->stopAfter;
}

} // namespace

TEST(aDirectory, ListReportsEveryEntry) {
    TempDir dir;
    writeFile(dir.file("five"), "12345");
    writeFile(dir.file("empty"), "");
    mkdir(dir.file("sub").c_str(), 0755);
    symlink("nowhere", dir.file("dangling").c_str()); // status cannot be read: skipped

    Listing listing;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &listing), aErrNone);
    const std::map<std::string, std::pair<uint32_t, uint32_t>> want = {
        {dir.file("."), {listing.entries[dir.file(".")].first, 1}},
        {dir.file(".."), {listing.entries[dir.file("..")].first, 1}},
        {dir.file("five"), {5, 0}},
        {dir.file("empty"), {0, 0}},
        {dir.file("sub"), {listing.entries[dir.file("sub")].first, 1}},
    };
    EXPECT_EQ(listing.entries, want);

    Listing first;
    first.stopAfter = 2;
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), collect, &first), aErrNone);
    EXPECT_EQ(first.entries.size(), 2u);

    EXPECT_EQ(aDirectory_List(dir.file("none").c_str(), collect, &listing), aErrNotFound);
    EXPECT_EQ(aDirectory_List(dir.file("five").c_str(), collect, &listing), aErrNotFound);
    EXPECT_EQ(aDirectory_List(nullptr, collect, &listing), aErrParam);
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), nullptr, &listing), aErrParam);
}

TEST(aDirectory, DeleteAndDeleteTree) {
    TempDir dir;
    ASSERT_EQ(aDirectory_Ensure(dir.file("tree/a/b/c").c_str(), 0755), aErrNone);
    writeFile(dir.file("tree/top"), "x");
    writeFile(dir.file("tree/a/b/c/deep"), "y");
    // A link into a directory outside the tree: the link goes, the target stays.
    mkdir(dir.file("outside").c_str(), 0755);
    writeFile(dir.file("outside/keep"), "keep");
    ASSERT_EQ(symlink(dir.file("outside").c_str(), dir.file("tree/a/link").c_str()), 0);

    EXPECT_EQ(aDirectory_Delete(dir.file("tree").c_str()), aErrUnknown); // not empty
    EXPECT_EQ(aDirectory_DeleteTree(dir.file("tree").c_str()), aErrNone);
    EXPECT_FALSE(isDir(dir.file("tree")));
    EXPECT_EQ(readFile(dir.file("outside/keep")), "keep");

    EXPECT_EQ(aDirectory_DeleteTree(dir.file("tree").c_str()), aErrNotFound);
    EXPECT_EQ(aDirectory_DeleteTree(nullptr), aErrParam);

    mkdir(dir.file("empty").c_str(), 0755);
    EXPECT_EQ(aDirectory_Delete(dir.file("empty").c_str()), aErrNone);
    EXPECT_EQ(aDirectory_Delete(dir.file("empty").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(nullptr), aErrParam);
}

TEST(aDirectory, DeleteTreeStopsAtAFileItCannotRemove) {
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    ASSERT_EQ(aDirectory_Ensure(dir.file("tree/locked").c_str(), 0777), aErrNone);
    chmod(dir.file("tree").c_str(), 0777);
    writeFile(dir.file("tree/locked/file"), "x");
    chmod(dir.file("tree/locked").c_str(), 0555);
    const std::string tree = dir.file("tree");
    const int code =
        runUnprivileged([&] { return aDirectory_DeleteTree(tree.c_str()) == aErrUnknown ? 0 : 1; },
                        dir.file("out"), dir.file("err"));
    chmod(dir.file("tree/locked").c_str(), 0755);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(readFile(dir.file("out")),
              "---error unlink-ing file [" + dir.file("tree/locked/file") + "]\n");
    const std::string err = readFile(dir.file("err"));
    EXPECT_EQ(err.rfind("aDirectory_DeleteTree: ", 0), 0u) << err;
    EXPECT_EQ(readFile(dir.file("tree/locked/file")), "x");
}

TEST(aDirectory, CurrentAndExecutablePaths) {
    TempDir dir;
    char real[4096];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    inDirectory(dir.path(), [&] {
        char buffer[4096];
        EXPECT_EQ(aDirectory_CWD(buffer, sizeof(buffer)), aErrNone);
        EXPECT_STREQ(buffer, real);
        char small[4];
        EXPECT_EQ(aDirectory_CWD(small, sizeof(small)), aErrParam);
        EXPECT_EQ(aDirectory_CWD(nullptr, 10), aErrParam);
    });

    char exe[4096];
    EXPECT_EQ(aDirectory_ExecutableFilePath(exe, sizeof(exe)), aErrNone);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    EXPECT_STREQ(exe, self);
    char cut[6];
    EXPECT_EQ(aDirectory_ExecutableFilePath(cut, sizeof(cut)), aErrNone);
    EXPECT_EQ(std::string(cut), std::string(self).substr(0, 5));
    EXPECT_EQ(aDirectory_ExecutableFilePath(nullptr, 5), aErrParam);
}

TEST(aDirectory, HomeDirectory) {
    char buffer[2048];
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
    EXPECT_NE(buffer[0], '\0');
    EXPECT_TRUE(isDir(buffer)) << buffer;
    const size_t length = strlen(buffer);

    std::string small(length, '#');
    EXPECT_EQ(aDirectory_GetHomeDirectory(small.data(), length), aErrOverrun);
    EXPECT_EQ(small[0], '\0');
    std::string exact(length + 1, '#');
    EXPECT_EQ(aDirectory_GetHomeDirectory(exact.data(), length + 1), aErrNone);
    EXPECT_STREQ(exact.c_str(), buffer);
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, 10), aErrParam);
}

TEST(aDirectory, BuildPath) {
    struct Case {
        const char* name;
        aErr result;
        std::string text;
        unsigned long size;
        std::vector<const char*> parts; // null-terminated when called
    } cases[] = {
        {"plain", aErrNone, "a/b/c", 64, {"a", "/b", "c"}},
        {"trailing separator", aErrNone, "a/b", 64, {"a/", "b"}},
        {"both separators kept", aErrNone, "a//b", 64, {"a/", "/b"}},
        {"absolute", aErrNone, "/base/0000ABCD/.settings", 64, {"/base", "0000ABCD", ".settings"}},
        {"one part", aErrNone, "only", 64, {"only"}},
        {"empty first", aErrNone, "b", 64, {"", "b"}},
        {"empty part", aErrNone, "a/", 64, {"a", ""}},
        {"ten parts",
         aErrNone,
         "1/2/3/4/5/6/7/8/9/10",
         64,
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}},
        {"eleven parts",
         aErrParam,
         "",
         64,
         {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}},
        {"first fills buffer", aErrOverrun, "", 4, {"abc"}},
        {"first fits", aErrNone, "ab", 4, {"ab"}},
        {"second overruns", aErrOverrun, "ab/", 6, {"ab", "cd"}},
        {"second fits", aErrNone, "ab/c", 6, {"ab", "c"}},
        {"null first", aErrParam, "", 64, {nullptr}},
    };
    for (const auto& c : cases) {
        std::vector<char> buffer(c.size + 8, '#');
        auto p = c.parts;
        p.resize(12, nullptr);
        const aErr e =
            aDirectory_BuildPath(buffer.data(), c.size, p[0], p[1], p[2], p[3], p[4], p[5], p[6],
                                 p[7], p[8], p[9], p[10], p[11], static_cast<const char*>(nullptr));
        EXPECT_EQ(e, c.result) << c.name;
        EXPECT_STREQ(buffer.data(), c.text.c_str()) << c.name;
        for (size_t k = c.size; k < buffer.size(); ++k)
            ASSERT_EQ(buffer[k], '#') << c.name << ": wrote past the buffer";
    }
}

TEST(aDirectory, BuildPathRefusesAliasedBuffer) {
    char buffer[32] = "abc";
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), buffer, "x", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "a", buffer, nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buffer, 0, "a", nullptr), aErrParam);
}

TEST(aDirectory, JoinPath) {
    // The join always leaves one spare character: 15 characters need 17 bytes.
    char buffer[17];
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "/store", "0000ABCD"), aErrNone);
    EXPECT_STREQ(buffer, "/store/0000ABCD");
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "/store/", "0000ABCD"), aErrNone);
    EXPECT_STREQ(buffer, "/store/0000ABCD");
    EXPECT_EQ(aDirectory_JoinPath(buffer, 16, "/store", "0000ABCD"), aErrOverrun);
    EXPECT_STREQ(buffer, "/store/");
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "/store", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), nullptr, "x"), aErrParam);
}
