#include "aFile.h"
#include "TestProcess.h"
#include "Unprivileged.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Closes a handle a test left open.
struct FileGuard {
    aFileRef f;
    explicit FileGuard(aFileRef file) : f(file) {}
    ~FileGuard() {
        if (f) (void)aFile_Close(&f);
    }
};

} // namespace

TEST(aFile, OpenRefusals) {
    TempDir dir;
    writeFile(dir.file("x"), "data");
    const std::string longPath = dir.path() + "/" + std::string(4100, 'n');
    const std::string x = dir.file("x"), missing = dir.file("missing"),
                      noDir = dir.file("no/such/dir");
    struct Case {
        const char* path;
        uint32_t mode;
    } cases[] = {
        {nullptr, 0},
        {"", 0},
        {longPath.c_str(), 1},
        {x.c_str(), 3},
        {x.c_str(), 0xFFFFFFFF},
        {missing.c_str(), aFileModeRead},
        {noDir.c_str(), aFileModeWrite},
    };
    for (const auto& c : cases) {
        aFileRef f = aFile_Open(c.path, c.mode);
        EXPECT_EQ(f, nullptr) << (c.path ? c.path : "(null)") << " mode " << c.mode;
        if (f) (void)aFile_Close(&f);
    }
}

TEST(aFile, Exists) {
    TempDir dir;
    writeFile(dir.file("x"), "");
    EXPECT_TRUE(aFile_Exists(dir.file("x").c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str())); // a directory
    EXPECT_FALSE(aFile_Exists(dir.file("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists((dir.path() + "/" + std::string(4100, 'n')).c_str()));
}

TEST(aFile, ModesAllowTheirOperations) {
    TempDir dir;
    const std::string path = dir.file("m");
    writeFile(path, "0123456789\n");
    char buffer[32];
    unsigned long n = 0;
    // Expected result of read, read line, write, printf, unbuffered per mode.
    struct Case {
        uint32_t mode;
        aErr read, readLine, write, printf, unbuffered;
    } cases[] = {
        {aFileModeRead, aErrNone, aErrNone, aErrMode, aErrMode, aErrMode},
        {aFileModeWrite, aErrMode, aErrMode, aErrNone, aErrNone, aErrNone},
        {aFileModeAppend, aErrEOF, aErrEOF, aErrNone, aErrNone, aErrNone},
    };
    for (const auto& c : cases) {
        writeFile(path, "0123456789\n");
        FileGuard g(aFile_Open(path.c_str(), c.mode));
        ASSERT_NE(g.f, nullptr) << c.mode;
        EXPECT_EQ(aFile_Read(g.f, buffer, 2, &n), c.read) << c.mode;
        EXPECT_EQ(aFile_ReadLine(g.f, buffer, sizeof(buffer), &n), c.readLine) << c.mode;
        EXPECT_EQ(aFile_Write(g.f, "ab", 2, &n), c.write) << c.mode;
        EXPECT_EQ(aFile_Printf(g.f, "%d", 7), c.printf) << c.mode;
        EXPECT_EQ(aFile_SetUnbuffered(g.f), c.unbuffered) << c.mode;
        unsigned long size = 0;
        EXPECT_EQ(aFile_GetSize(g.f, &size), aErrNone);
        long position = -1;
        EXPECT_EQ(aFile_GetPosition(g.f, &position), aErrNone);
        EXPECT_EQ(aFile_Seek(g.f, 0, 0), aErrNone);
    }
}

TEST(aFile, AppendCreatesAndPositionsAtEnd) {
    TempDir dir;
    const std::string path = dir.file("log");
    {
        FileGuard g(aFile_Open(path.c_str(), aFileModeAppend));
        ASSERT_NE(g.f, nullptr);
        EXPECT_TRUE(aFile_Exists(path.c_str()));
        EXPECT_EQ(aFile_Printf(g.f, "first %s\n", "line"), aErrNone);
    }
    {
        FileGuard g(aFile_Open(path.c_str(), aFileModeAppend));
        ASSERT_NE(g.f, nullptr);
        long position = -1;
        EXPECT_EQ(aFile_GetPosition(g.f, &position), aErrNone);
        EXPECT_EQ(position, 11);
        EXPECT_EQ(aFile_Write(g.f, "second\n", 7, nullptr), aErrNone);
        // Reading back straight after writing on the same handle.
        EXPECT_EQ(aFile_Seek(g.f, 0, 0), aErrNone);
        char line[32];
        unsigned long n = 0;
        EXPECT_EQ(aFile_ReadLine(g.f, line, sizeof(line), &n), aErrNone);
        EXPECT_STREQ(line, "first line\n");
        EXPECT_EQ(aFile_Write(g.f, "third\n", 6, nullptr), aErrNone);
        EXPECT_EQ(aFile_ReadLine(g.f, line, sizeof(line), &n), aErrEOF);
    }
    EXPECT_EQ(readFile(path), "first line\nsecond\nthird\n");
}

TEST(aFile, WriteTruncates) {
    TempDir dir;
    const std::string path = dir.file("w");
    writeFile(path, "old contents that are long");
    FileGuard g(aFile_Open(path.c_str(), aFileModeWrite));
    ASSERT_NE(g.f, nullptr);
    unsigned long n = 0;
    EXPECT_EQ(aFile_Write(g.f, "new", 3, &n), aErrNone);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(aFile_Write(g.f, "", 0, &n), aErrNone);
    EXPECT_EQ(aFile_Close(&g.f), aErrNone);
    EXPECT_EQ(readFile(path), "new");
}

TEST(aFile, ReadShortThenEOF) {
    TempDir dir;
    const std::string path = dir.file("r");
    writeFile(path, "0123456789");
    FileGuard g(aFile_Open(path.c_str(), aFileModeRead));
    ASSERT_NE(g.f, nullptr);
    ASSERT_EQ(aFile_Seek(g.f, -4, 2), aErrNone);
    char buffer[10];
    unsigned long n = 99;
    EXPECT_EQ(aFile_Read(g.f, buffer, sizeof(buffer), &n), aErrNone);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buffer, 4), "6789");
    n = 99;
    EXPECT_EQ(aFile_Read(g.f, buffer, sizeof(buffer), &n), aErrEOF);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Read(g.f, buffer, 0, &n), aErrNone);
    EXPECT_EQ(aFile_Read(g.f, nullptr, 1, &n), aErrParam);
}

TEST(aFile, ReadLine) {
    struct Case {
        const char* name;
        std::string contents;
        unsigned long size;
        std::vector<std::pair<aErr, std::string>> calls;
    } cases[] = {
        {"fits", "abcdef\n", 8, {{aErrNone, "abcdef\n"}, {aErrEOF, ""}}},
        {"one too long", "abcdefg\n", 8, {{aErrOverrun, "abcdefg"}, {aErrNone, "\n"}}},
        {"several lines",
         "a\n\nbc\n",
         8,
         {{aErrNone, "a\n"}, {aErrNone, "\n"}, {aErrNone, "bc\n"}, {aErrEOF, ""}}},
        {"last line without newline",
         "ab\ncd",
         8,
         {{aErrNone, "ab\n"}, {aErrNone, "cd"}, {aErrEOF, ""}}},
        {"last line exactly fills", "abcdefg", 8, {{aErrNone, "abcdefg"}, {aErrEOF, ""}}},
        {"long line in pieces",
         "abcdefghij\n",
         4,
         {{aErrOverrun, "abc"}, {aErrOverrun, "def"}, {aErrOverrun, "ghi"}, {aErrNone, "j\n"}}},
        {"size one", "x\n", 1, {{aErrOverrun, ""}}},
        {"size one at end", "", 1, {{aErrEOF, ""}}},
        {"empty file", "", 8, {{aErrEOF, ""}}},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string path = dir.file("lines");
        writeFile(path, c.contents);
        FileGuard g(aFile_Open(path.c_str(), aFileModeRead));
        ASSERT_NE(g.f, nullptr);
        for (size_t i = 0; i < c.calls.size(); ++i) {
            std::vector<char> buffer(c.size + 4, '#');
            unsigned long length = 99;
            EXPECT_EQ(aFile_ReadLine(g.f, buffer.data(), c.size, &length), c.calls[i].first)
                << c.name << " call " << i;
            EXPECT_STREQ(buffer.data(), c.calls[i].second.c_str()) << c.name << " call " << i;
            EXPECT_EQ(length, c.calls[i].second.size()) << c.name << " call " << i;
            for (size_t k = c.size; k < buffer.size(); ++k)
                ASSERT_EQ(buffer[k], '#') << c.name << ": wrote past the buffer";
        }
    }
    writeFile(dir.file("lines"), "x\n");
    FileGuard g(aFile_Open(dir.file("lines").c_str(), aFileModeRead));
    char b[4];
    EXPECT_EQ(aFile_ReadLine(g.f, b, 0, nullptr), aErrParam);
    EXPECT_EQ(aFile_ReadLine(g.f, nullptr, 4, nullptr), aErrParam);
}

TEST(aFile, SeekBounds) {
    TempDir dir;
    const std::string path = dir.file("s");
    writeFile(path, "0123456789");
    FileGuard g(aFile_Open(path.c_str(), aFileModeRead));
    ASSERT_NE(g.f, nullptr);
    struct Case {
        long offset;
        int origin;
        aErr result;
        long position; // after the call
    } cases[] = {
        {10, 0, aErrNone, 10},
        {11, 0, aErrRange, 10},
        {-1, 0, aErrRange, 10},
        {0, 2, aErrNone, 10},
        {1, 2, aErrRange, 10},
        {-10, 2, aErrNone, 0},
        {-11, 2, aErrRange, 0},
        {3, 1, aErrNone, 3},
        {-4, 1, aErrRange, 3},
        {7, 1, aErrNone, 10},
        {0, 3, aErrParam, 10},
        {0, -1, aErrParam, 10},
        {0x7FFFFFFFFFFFFFFF, 1, aErrRange, 10},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aFile_Seek(g.f, c.offset, c.origin), c.result)
            << c.offset << " from " << c.origin;
        long position = -1;
        EXPECT_EQ(aFile_GetPosition(g.f, &position), aErrNone);
        EXPECT_EQ(position, c.position) << c.offset << " from " << c.origin;
    }
}

TEST(aFile, SizeKeepsPosition) {
    TempDir dir;
    const std::string path = dir.file("z");
    FileGuard g(aFile_Open(path.c_str(), aFileModeWrite));
    ASSERT_NE(g.f, nullptr);
    unsigned long size = 99;
    EXPECT_EQ(aFile_GetSize(g.f, &size), aErrNone);
    EXPECT_EQ(size, 0u);
    ASSERT_EQ(aFile_Write(g.f, "hello world", 11, nullptr), aErrNone);
    ASSERT_EQ(aFile_Seek(g.f, 5, 0), aErrNone);
    EXPECT_EQ(aFile_GetSize(g.f, &size), aErrNone);
    EXPECT_EQ(size, 11u);
    long position = 99;
    EXPECT_EQ(aFile_GetPosition(g.f, &position), aErrNone);
    EXPECT_EQ(position, 5);
    ASSERT_EQ(aFile_Seek(g.f, 0, 0), aErrNone);
    position = 99; // position 0 is reported too, not left as it was
    EXPECT_EQ(aFile_GetPosition(g.f, &position), aErrNone);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(aFile_GetSize(g.f, nullptr), aErrParam);
    EXPECT_EQ(aFile_GetPosition(g.f, nullptr), aErrParam);
}

TEST(aFile, ClosedHandleIsRefused) {
    TempDir dir;
    writeFile(dir.file("c"), "abc");
    aFileRef f = aFile_Open(dir.file("c").c_str(), aFileModeRead);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(aVALIDFILE(f));
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(f, nullptr);
    char b[4];
    unsigned long n = 7, size = 7;
    long position = 7;
    EXPECT_EQ(aFile_Read(f, b, 4, &n), aErrParam);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(aFile_Write(f, b, 4, &n), aErrParam);
    EXPECT_EQ(aFile_ReadLine(f, b, 4, &n), aErrParam);
    EXPECT_EQ(aFile_Printf(f, "x"), aErrParam);
    EXPECT_EQ(aFile_Seek(f, 0, 0), aErrParam);
    EXPECT_EQ(aFile_GetSize(f, &size), aErrParam);
    EXPECT_EQ(aFile_GetPosition(f, &position), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(f), aErrParam);
    EXPECT_EQ(aFile_Close(&f), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);

    // A record that never was a handle: refused, and the caller's variable is still cleared.
    alignas(8) unsigned char junk[64] = {};
    aFileRef forged = reinterpret_cast<aFileRef>(junk);
    EXPECT_FALSE(aVALIDFILE(forged));
    EXPECT_EQ(aFile_Close(&forged), aErrParam);
    EXPECT_EQ(forged, nullptr);
}

TEST(aFile, LostWritesAreReported) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    {
        // Buffered: the loss shows when the buffer is flushed at close.
        aFileRef f = aFile_Open("/dev/full", aFileModeWrite);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(aFile_Write(f, "abc", 3, nullptr), aErrNone);
        EXPECT_EQ(aFile_Close(&f), aErrIO);
        EXPECT_EQ(f, nullptr);
    }
    {
        FileGuard g(aFile_Open("/dev/full", aFileModeWrite));
        ASSERT_NE(g.f, nullptr);
        ASSERT_EQ(aFile_SetUnbuffered(g.f), aErrNone);
        unsigned long n = 9;
        EXPECT_EQ(aFile_Write(g.f, "abc", 3, &n), aErrIO);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(aFile_Printf(g.f, "%s", "abc"), aErrIO);
    }
}

TEST(aFile, Delete) {
    TempDir dir;
    writeFile(dir.file("d"), "x");
    mkdir(dir.file("sub").c_str(), 0755);
    EXPECT_EQ(aFile_Delete(dir.file("d").c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(dir.file("d").c_str()));
    EXPECT_EQ(aFile_Delete(dir.file("d").c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete((dir.path() + "/" + std::string(4100, 'n')).c_str()),
              aErrFileNameLength);
    EXPECT_EQ(aFile_Delete(dir.file("sub").c_str()), aErrIO); // never removes a directory
    EXPECT_TRUE(access(dir.file("sub").c_str(), F_OK) == 0);

    chmod(dir.path().c_str(), 0755);
    writeFile(dir.file("sub/locked"), "x");
    chmod(dir.file("sub").c_str(), 0555);
    const std::string locked = dir.file("sub/locked");
    EXPECT_EQ(
        runUnprivileged([&] { return aFile_Delete(locked.c_str()) == aErrPermission ? 0 : 1; }), 0);
    chmod(dir.file("sub").c_str(), 0755);
    EXPECT_TRUE(aFile_Exists(locked.c_str()));
}
