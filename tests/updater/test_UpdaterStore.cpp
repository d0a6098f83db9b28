#include "UpdaterStore.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

#include "BirdWriter.h"
#include "ChildProcess.h"
#include "TestProcess.h"

namespace fs = std::filesystem;

namespace {

std::string thrownBy(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

std::vector<std::string> namesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

TEST(UpdaterStore, BaseAndDeviceFoldersAreMadeOnce) {
    TempDir dir;
    const std::string base = dir.file("home/.olvarin/updater");
    UpdaterStore store(base.c_str());
    EXPECT_TRUE(fs::is_directory(base));
    EXPECT_EQ(fs::status(base).permissions() & fs::perms::all,
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                  fs::perms::others_read | fs::perms::others_exec);

    UpdaterStoreItem item = store.AddDevice(0xABCD);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(item.Parent(), base);
    EXPECT_EQ(item.Name(), "0000ABCD");
    EXPECT_EQ(item.Kind(), STORE_ITEM_DIRECTORY);
    const std::string settings = base + "/0000ABCD/.settings";
    const std::string first = readFile(settings);
    EXPECT_EQ(first.rfind("CREATED_TIME=", 0), 0u);
    EXPECT_NE(first.find("\nUPDATED_TIME="), std::string::npos);
    EXPECT_STREQ(item.attributes["CREATED_TIME"], first.substr(13, 24).c_str());

    (void)store.AddDevice(0xABCD);
    EXPECT_EQ(readFile(settings), first);
    EXPECT_EQ(namesIn(base), std::vector<std::string>{"0000ABCD"});
    EXPECT_FALSE(UpdaterStoreItem().IsValid());
    EXPECT_EQ(UpdaterStoreItem().Kind(), STORE_ITEM_NOT_SET);
}

TEST(UpdaterStore, FilesInTheWayAreErrors) {
    TempDir dir;
    writeFile(dir.file("file"), "x");
    EXPECT_EQ(thrownBy([&] { UpdaterStore s(dir.file("file").c_str()); }),
              "UpdaterStore: " + dir.file("file") + " exists and is a file");
    EXPECT_EQ(thrownBy([&] { UpdaterStore s(dir.file("file/below").c_str()); }),
              "UpdaterStore: Could not create directory " + dir.file("file/below") + " error 12");
    UpdaterStore store(dir.file("store").c_str());
    writeFile(dir.file("store/0000ABCD"), "x");
    EXPECT_EQ(thrownBy([&] { (void)store.AddDevice(0xABCD); }),
              "UpdaterStore: " + dir.file("store/0000ABCD") + " exists and is a file");
    EXPECT_EQ(readFile(dir.file("store/0000ABCD")), "x");
}

TEST(UpdaterStore, DevicesAreFoundByTheirOwnName) {
    TempDir dir;
    // The digits searched for also appear in the store's own path.
    const std::string base = dir.file("0000ABCD/00001234/updater");
    UpdaterStore store(base.c_str());
    (void)store.AddDevice(0x10001234);
    (void)store.AddDevice(0x11111111);
    UpdaterStoreItem item;
    EXPECT_FALSE(store.FindDevice(0x1234, &item));
    EXPECT_FALSE(store.FindDevice(0xABCD, &item));
    EXPECT_FALSE(item.IsValid());
    (void)store.AddDevice(0x1234);
    ASSERT_TRUE(store.FindDevice(0x1234, &item));
    EXPECT_EQ(item.Name(), "00001234");
    EXPECT_EQ(item.Parent(), base);
    EXPECT_EQ(item.Kind(), STORE_ITEM_DIRECTORY);
    EXPECT_TRUE(store.FindDevice("10001234", nullptr));
    EXPECT_FALSE(store.FindDevice("1234", nullptr));
    EXPECT_FALSE(store.FindDevice(".", nullptr));
    EXPECT_TRUE(item.FileExists(".settings"));
    EXPECT_FALSE(item.FileExists("settings"));
}

TEST(UpdaterStore, LocalBuildsListEveryEntryButHiddenOnes) {
    TempDir dir;
    UpdaterStore store(dir.file("s").c_str());
    UpdaterStoreItem device = store.AddDevice(0xABCD);
    writeFile(device.Path() + "/100.bird", "a");
    writeFile(device.Path() + "/101.bird", "b");
    writeFile(device.Path() + "/.hidden", "c");
    fs::create_directory(device.Path() + "/old");
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0xABCD, items));
    std::vector<std::string> names;
    for (const auto& i : items) {
        names.push_back(i.Name());
        EXPECT_EQ(i.Parent(), device.Path());
        EXPECT_EQ(i.Kind(), i.Name() == "old" ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"100.bird", "101.bird", "old"}));
    EXPECT_EQ(readFile(device.Path() + "/100.bird"), "a");

    std::vector<UpdaterStoreItem> none{UpdaterStoreItem()};
    EXPECT_TRUE(store.FindLocalBuilds(0x5555, none));
    EXPECT_EQ(none.size(), 1u);
}

TEST(UpdaterStore, WriteFileReplacesWholeOrNotAtAll) {
    TempDir dir;
    UpdaterStore store(dir.file("s").c_str());
    UpdaterStoreItem device = store.AddDevice(0xABCD);
    const std::string big(20000, 'n');
    const auto* bytes = reinterpret_cast<const unsigned char*>(big.data());
    EXPECT_EQ(device.WriteFile("100.bird", bytes, 5), aErrNone);
    EXPECT_EQ(readFile(device.Path() + "/100.bird"), "nnnnn");

    struct Case {
        const char* name;
        const unsigned char* data;
        aErr code;
    } refused[] = {
        {"100.bird", nullptr, aErrNotFound},
        {"../100.bird", bytes, aErrParam},
        {"..", bytes, aErrParam},
        {"", bytes, aErrParam},
    };
    for (const auto& c : refused) EXPECT_EQ(device.WriteFile(c.name, c.data, 5), c.code) << c.name;

    // A write that fails part of the way (the process may write only 4 KiB) keeps the old file.
    int status = inChild(
        [&] { return static_cast<int>(device.WriteFile("100.bird", bytes, big.size())); }, 4096);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1);
    // A folder where the file should go cannot be replaced either.
    fs::create_directories(device.Path() + "/200.bird/inside");
    EXPECT_NE(device.WriteFile("200.bird", bytes, 5), aErrNone);

    EXPECT_EQ(readFile(device.Path() + "/100.bird"), "nnnnn");
    EXPECT_EQ(namesIn(device.Path()),
              (std::vector<std::string>{".settings", "100.bird", "200.bird"}))
        << "no temporary file is left";
}

TEST(UpdaterStore, ReadBirdFileChecksBeforeLoading) {
    TempDir dir;
    UpdaterStore store(dir.file("s").c_str());
    UpdaterStoreItem device = store.AddDevice(0xABCD);
    writeFile(device.Path() + "/5.bird", "this is text\n");
    EXPECT_EQ(thrownBy([&] { (void)device.ReadBirdFile("5.bird"); }),
              "Invalid bird " + device.Path() + "/5.bird");
    writeFile(device.Path() + "/6.bird", std::string("bird\x01\x01 not zlib"));
    EXPECT_EQ(thrownBy([&] { (void)device.ReadBirdFile("6.bird"); }), "Failed to load bird data");
    writeImage(device.Path() + "/7.bird", "7", "3.1.4");
    EXPECT_EQ(device.ReadBirdFile("7.bird").GetVersion(), "3.1.4");
}

TEST(UpdaterStore, FolderLockKeepsOtherWritersOut) {
    TempDir dir;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        StoreFolderLock lock(dir.path());
        char c = lock.Locked() ? 'L' : 'x';
        if (write(ready[1], &c, 1) != 1) _exit(2);
        usleep(300 * 1000);
        writeFile(dir.file("child-done"), "1");
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'L');
    {
        StoreFolderLock lock(dir.path());
        EXPECT_TRUE(lock.Locked());
        // Had only after the child let go, so its write is complete.
        EXPECT_EQ(readFile(dir.file("child-done")), "1");
    }
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_FALSE(StoreFolderLock(dir.file("missing")).Locked());
}
