// The real Updater binary: exit status, standard output and standard error, store directory.
#include "TestProcess.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string kData = std::string(KORVEL_SOURCE_DIR) + "/tests/app/data/";

class Cli : public ::testing::Test {
protected:
    TempDir home;
    TempDir store;

    // Every run gets a temporary HOME and, unless told otherwise, -i a temporary store.
    ProcessResult run(std::vector<std::string> args, bool withStore = true) {
        if (withStore) {
            args.push_back("-i");
            args.push_back(store.path());
        }
        ProcessOptions options;
        options.env["HOME"] = home.path();
        return runProcess(UPDATER_EXE, args, options);
    }
};

const std::regex kVersionLine(R"(Updater \(Version: 2\.11\.1 [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}\)\n)");
const std::regex kNoticeLine(R"(\([^\n]+\)\n)");

void expectVersionAndNotice(const std::string& out) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, kVersionLine)) << out;
    EXPECT_EQ(m.position(), 0);
    std::string rest = m.suffix();
    EXPECT_TRUE(std::regex_match(rest, kNoticeLine)) << rest;
}

} // namespace

TEST_F(Cli, NoWordsShowsShortUsage) {
    ProcessResult r = run({}, false);
    EXPECT_EQ(r.status, 0);
    expectVersionAndNotice(r.out);
    EXPECT_EQ(r.err, readFile(kData + "usage_short.txt"));
}

TEST_F(Cli, UsageTextsByteForByte) {
    struct Case {
        std::vector<std::string> args;
        const char* golden;
    } cases[] = {
        {{"-h"}, "usage_full.txt"},
        {{"-H"}, "usage_full.txt"},
        {{"--help"}, "usage_full.txt"},
        {{"--he"}, "usage_full.txt"},
        {{"-X", "0x10000", "-h"}, "usage_extended.txt"},
        {{"-h", "-X", "0x10000"}, "usage_full.txt"},
        {{"-GU", "-d", "12"}, "usage_short.txt"},
        {{"-X", "0"}, "usage_short.txt"},
    };
    for (const auto& c : cases) {
        ProcessResult r = run(c.args, false);
        EXPECT_EQ(r.status, 0) << c.args[0];
        expectVersionAndNotice(r.out);
        std::string err = r.err;
        // -X 0x10000 also writes the parameter log (DEBUG_APP) to stderr before the usage.
        size_t usage = err.find("\nApplication Usage:");
        ASSERT_NE(usage, std::string::npos) << c.args[0];
        EXPECT_EQ(err.substr(usage), readFile(kData + c.golden)) << c.args[0];
    }
}

TEST_F(Cli, ParseErrors) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-d", "0"}, "Invalid serial number obtained from argument [0]\n"},
        {{"-d", "XYZ", "-U"}, "Invalid serial number obtained from argument [XYZ]\n"},
        {{"-d", "0x"}, "Invalid serial number obtained from argument []\n"},
        {{"-r", "0xQQ", "-D"}, "Invalid router serial number obtained from argument [QQ]\n"},
        {{"-t", "usb", "-D"},
         "Invalid transport type:[usb]\nMust be one of the following: USB, TCPIP, RECOVER\n"},
        {{"-Y"}, "Unhandled command: [-Y]\n"},
    };
    for (const auto& c : cases) {
        ProcessResult r = run(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        expectVersionAndNotice(r.out);
        EXPECT_EQ(r.err, c.message + readFile(kData + "usage_short.txt")) << c.args[0];
    }
}

TEST_F(Cli, HelpAfterAnErrorSucceeds) {
    ProcessResult r = run({"-d", "XYZ", "-h"}, false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Invalid serial number obtained from argument [XYZ]\n" +
                         readFile(kData + "usage_full.txt"));
}

TEST_F(Cli, CommandChecks) {
    std::string shortUsage = readFile(kData + "usage_short.txt");
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-U"}, 1, "Must specify the specific device to be updated\n"},
        {{"-d", "-U"}, 1, "Must specify the specific device to be updated\n"},
        {{"-e", "-U"}, 1, "Must specify the specific device to be updated\n"},
        {{"-G"}, 1, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-G", "-U"}, 1, "-G must specify a specific device via -d\n--help for usage information\n"},
        {{"-N"}, 1, "Must specify the serial port used for connecting\n"},
        {{"-B"}, 1, "Error must supply a serial number for the List Builds command\n" + shortUsage},
        {{"-L"}, 1,
         "Error must supply a serial number for the List Local Builds command\n" + shortUsage},
        {{"-J"}, 1, "Error must supply a serial number for the Get JWT command\n" + shortUsage},
        {{"-I", "-d", "40F5849A"}, 0, ""},
        {{"-C", "-f", "file.bird"}, 0, ""},
        {{"-Z", "x"}, 0, ""},
        {{"-I", "-OVERRIDE", "-n", "-o", "9600", "-k", "a.log", "-l", "hello"}, 0, ""},
    };
    for (const auto& c : cases) {
        ProcessResult r = run(c.args);
        std::string label = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_TRUE(std::regex_match(r.out, kVersionLine)) << label << ": " << r.out;
        EXPECT_EQ(r.err, c.err) << label;
    }
}

TEST_F(Cli, DebugLogFollowsTheMask) {
    // DEBUG_APP lists the words, options first and stray words last; DEBUG_Updater is off.
    ProcessResult r = run({"-X", "0x10000", "stray", "-I", "-d", "0x40F5849A"}, false);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "\nApplication parameters:[Updater]\n\t[" + std::string(UPDATER_EXE) +
                         "]\n\t[-X]\n\t[0x10000]\n\t[-I]\n\t[-d]\n\t[0x40F5849A]\n\t[stray]\n");

    ProcessResult updater = run({"-X", "1", "-I", "-d", "0x40F5849A"});
    EXPECT_EQ(updater.err, "Discarding '0x' serial number prefix\n");

    ProcessResult bad = run({"-X", "12abc", "-I"});
    EXPECT_EQ(bad.status, 0);
    EXPECT_EQ(bad.err, "Invalid format for \"-X\" parameter, unprocessed characters [abc]\n");
}

TEST_F(Cli, StoreDirectoryUnderTheGivenBase) {
    ProcessResult r = run({"-I", "-i", store.file("data/nested")}, false);
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(stat(store.file("data/nested/updater").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST_F(Cli, StoreDirectoryThatCannotBeMade) {
    writeFile(store.file("plainfile"), "x");
    ProcessResult r = run({"-I", "-i", store.file("plainfile")}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not find updater directory at " + store.file("plainfile") + "/updater\n");
}

TEST_F(Cli, DefaultStoreUnderTheHomeDirectory) {
    // The home directory comes from the password database first; HOME counts only for a user
    // without an entry, so run as such a user (needs root to switch).
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user without a passwd entry";
    ASSERT_EQ(chmod(home.path().c_str(), 0777), 0);
    ProcessOptions options;
    options.env["HOME"] = home.path();
    options.uid = 54321;
    ProcessResult r = runProcess(UPDATER_EXE, {"-I"}, options);
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    EXPECT_EQ(stat(home.file(".olvarin/updater").c_str(), &st), 0);
}
