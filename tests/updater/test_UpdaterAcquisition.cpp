// The acquisition operations of the Updater in this process, against the reference server.
#include <filesystem>
#include <gtest/gtest.h>

#include "BirdWriter.h"
#include "ReferenceServer.h"
#include "Updater.h"
#include "UpdaterReports.h"

namespace fs = std::filesystem;

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool on, const char* label) override {
        spinner.push_back(std::string(on ? "+" : "-") + (label ? label : ""));
    }
    void info_message(const char* text) override { lines.push_back(std::string("I ") + text); }
    void error_message(const char* text) override { lines.push_back(std::string("E ") + text); }

    bool shows(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::string all() const {
        std::string s;
        for (const auto& l : lines) s += l + "\n";
        return s;
    }
    std::vector<std::string> lines;
    std::vector<std::string> spinner;
};

class Acquisition : public ::testing::Test {
protected:
    static std::string catalogue(const char* file = nullptr) {
        return file ? sampleCatalogue() + "/" + file : sampleCatalogue();
    }
    Updater updater(const std::string& url) {
        return Updater(url.c_str(), store.path().c_str(), display);
    }
    std::string settings(const char* serial) {
        return readFile(store.path() + "/" + serial + "/.settings");
    }

    TempDir store;
    RecordingDisplay display;
};

const std::string kDownServer = closedServerUrl();

} // namespace

TEST_F(Acquisition, LatestBuildIsStoredByteExactAndRecorded) {
    ReferenceServer server(catalogue());
    EXPECT_EQ(updater(server.url()).Download_Firmware(0xABCD, "", false, false), 1002u);
    EXPECT_EQ(readFile(store.path() + "/0000ABCD/1002.bird"), readFile(catalogue("hub-1002.bird")));
    KeyValueStore attributes((store.path() + "/0000ABCD/.settings").c_str());
    EXPECT_STREQ(attributes["LATEST_DOWNLOAD"], "1002.bird");
    EXPECT_EQ(attributes.GetString("LAST_DOWNLOAD_DATE", nullptr).size(), 24u);
    EXPECT_EQ(display.lines, (std::vector<std::string>{"I Retrieving build 1002",
                                                       "I Validating build 1002 with server",
                                                       "I Build 1002 is valid"}));
    ASSERT_GE(display.spinner.size(), 2u);
    EXPECT_EQ(display.spinner.front(), "+Downloading");
    EXPECT_EQ(display.spinner.back(), "-Downloading");
    EXPECT_EQ(server.requests(),
              (std::vector<std::string>{
                  "/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=0000ABCD&",
                  "/cgi/u?op=builds&sn=0000ABCD&",
                  "/cgi/u?bld=1002&fw=2.10.1&no_cal=false&op=bird&sn=0000ABCD&"}));
}

TEST_F(Acquisition, RequestedBuildsAndOverride) {
    ReferenceServer server(catalogue());
    Updater u = updater(server.url());
    // Another build is asked for with the latest build's version text.
    EXPECT_EQ(u.Download_Firmware(0xABCD, "1001", false, false), 1001u);
    EXPECT_EQ(server.requests().back(), "/cgi/u?bld=1001&fw=2.10.1&no_cal=false&op=bird&sn=0000ABCD&");
    EXPECT_EQ(readFile(store.path() + "/0000ABCD/1001.bird"), readFile(catalogue("hub-1001.bird")));
    EXPECT_EQ(u.Download_Firmware(0xABCD, "0", false, false), 1002u) << "0 means the latest";
    EXPECT_EQ(u.Download_Firmware(0xABCD, " +1003x", false, true), 1003u);
    EXPECT_EQ(server.requests().back(), "/cgi/u?bld=1003&fw=2.10.1&no_cal=true&op=bird&sn=0000ABCD&");

    server.clearRequests();
    display.lines.clear();
    EXPECT_EQ(u.Download_Firmware(0xABCD, "999", false, false), 0u);
    EXPECT_EQ(display.lines.back(), "E No valid build 999");
    EXPECT_EQ(server.requests().size(), 3u) << "nothing downloaded";

    // With the override an unlisted build is still asked for.
    display.lines.clear();
    EXPECT_EQ(u.Download_Firmware(0xABCD, "999", true, false), 0u);
    EXPECT_EQ(display.lines,
              (std::vector<std::string>{"I Retrieving build 999",
                                        "I Override specified, skipping validation of build 999",
                                        "E Download failed", "E Failed to retrieve a valid BIRD file"}));
    EXPECT_EQ(server.requests().back(), "/cgi/u?bld=999&fw=2.10.1&no_cal=false&op=bird&sn=0000ABCD&");
    EXPECT_FALSE(fs::exists(store.path() + "/0000ABCD/999.bird"));
}

TEST_F(Acquisition, FailuresShowOneMessageAndStoreNothing) {
    ReferenceServer server(catalogue());
    ReferenceServer badImage(catalogue(), {"--fault", "bird=badbase64"});
    ReferenceServer notOk(catalogue(), {"--fault", "qu=notok"});
    struct Case {
        const char* name;
        std::string url;
        uint32_t serial;
        const char* build;
        std::string last;
    } cases[] = {
        {"not a number", server.url(), 0xABCD, "x12", "E Build number 'x12' must be an number"},
        {"too large", server.url(), 0xABCD, "99999999999999999999", "E Build number '99999999999999999999' must be an number"},
        {"no serial", server.url(), 0, "", "E Serial Number must be non-zero"},
        {"server down", kDownServer, 0xABCD, "", "E Server request failed for " + kDownServer},
        {"unknown device", server.url(), 0x12345678, "", "E No build information for device"},
        {"first line not ok", notOk.url(), 0xABCD, "", "E No build information for device"},
        {"undecodable image", badImage.url(), 0xABCD, "", "E Failed to retrieve a valid BIRD file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        display.lines.clear();
        EXPECT_EQ(updater(c.url).Download_Firmware(c.serial, c.build, false, false), 0u);
        ASSERT_FALSE(display.lines.empty());
        EXPECT_EQ(display.lines.back(), c.last);
        EXPECT_EQ(std::count_if(display.lines.begin(), display.lines.end(),
                                [](const std::string& l) { return l[0] == 'E'; }),
                  1);
    }
    EXPECT_FALSE(fs::exists(store.path() + "/0000ABCD/1002.bird"));
    EXPECT_EQ(settings("0000ABCD").find("LATEST_DOWNLOAD"), std::string::npos);
    // The folder made for the unknown device stays.
    EXPECT_TRUE(fs::is_directory(store.path() + "/12345678"));
}

TEST_F(Acquisition, FailedWriteIsAFailedDownload) {
    ReferenceServer server(catalogue());
    fs::create_directories(store.path() + "/0000ABCD/1002.bird/in-the-way");
    EXPECT_EQ(updater(server.url()).Download_Firmware(0xABCD, "", false, false), 0u);
    EXPECT_EQ(display.lines.back(), "E Failed to write file with 8");
    EXPECT_EQ(settings("0000ABCD").find("LATEST_DOWNLOAD"), std::string::npos);
}

TEST_F(Acquisition, StoreThatCannotBeOpenedIsReported) {
    ReferenceServer server(catalogue());
    TempDir dir;
    writeFile(dir.file("store"), "a file");
    Updater u(server.url().c_str(), dir.file("store").c_str(), display);
    EXPECT_EQ(u.Download_Firmware(0xABCD, "", false, false), 0u);
    EXPECT_EQ(display.lines.back(), "E Failed to Create UpdaterStore in: Download_Firmware - "
                                    "Exception: UpdaterStore: " +
                                        dir.file("store") + " exists and is a file");
    EXPECT_TRUE(u.Get_BuildListLocal(0xABCD).empty());
    EXPECT_EQ(display.lines.back().rfind("E Failed to Create UpdaterStore in: Get_BuildListLocal", 0), 0u);
}

TEST_F(Acquisition, DownloadByFingerprint) {
    ReferenceServer server(catalogue());
    Updater u = updater(server.url());
    Fingerprint fp{{1, 2, 3, 4}};
    EXPECT_EQ(u.Download_Firmware(fp, "", false), 1203u);
    EXPECT_EQ(readFile(store.path() + "/40F5849A/1203.bird"), readFile(catalogue("relay-1203.bird")));
    EXPECT_EQ(server.requests()[0],
              "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&");
    Fingerprint unknown{{9, 9, 9, 9}};
    EXPECT_EQ(u.Download_Firmware(unknown, "", false), 0u);
    EXPECT_EQ(display.lines.back(),
              "E Failed to retrieve recovery information from Olvarin update server");
}

TEST_F(Acquisition, BuildListsAndToken) {
    ReferenceServer server(catalogue());
    Updater u = updater(server.url());
    EXPECT_EQ(u.Get_BuildList(0xABCD),
              (BuildList{{"1001", "2.9.4"}, {"1002", "2.10.1"}, {"1003", "2.10.0"}}));
    const std::string token = u.Get_JWT(0xABCD);
    EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2) << token;
    EXPECT_TRUE(display.lines.empty()) << display.all();

    EXPECT_TRUE(u.Get_BuildList(0x12345678).empty());
    EXPECT_EQ(display.lines.back(), "E Failed to retrieve builds for 12345678");
    EXPECT_EQ(u.Get_JWT(0x12345678), "");
    EXPECT_EQ(display.lines.back(), "E Failed to retrieve jwt for 12345678");
    Updater down = updater(kDownServer);
    EXPECT_TRUE(down.Get_BuildList(0xABCD).empty());
    EXPECT_EQ(display.lines.back(), "E Server request failed for " + kDownServer);
    EXPECT_EQ(down.Get_JWT(0xABCD), "");
    EXPECT_EQ(display.lines.back(), "E Server request failed for " + kDownServer);
}

TEST_F(Acquisition, LocalBuildListReadsVersionsOfBirdFilesOnly) {
    UpdaterStore s(store.path().c_str());
    const std::string folder = s.AddDevice(0xABCD).Path();
    writeImage(folder + "/100.bird", "100", "2.0.1");
    writeFile(folder + "/101.bird", "not a bird file");
    writeFile(folder + "/102.bird", std::string("bird\x01\x01 broken"));
    fs::create_directory(folder + "/old");
    Updater u = updater(kDownServer);
    EXPECT_EQ(u.Get_BuildListLocal(0xABCD),
              (BuildList{{"100", "2.0.1"}, {"101", ""}, {"102", ""}, {"old", ""}}));
    EXPECT_TRUE(u.Get_BuildListLocal(0x5555).empty());
    EXPECT_TRUE(display.lines.empty()) << display.all();
}

TEST_F(Acquisition, Reports) {
    _display_builds(display, {}, 0xABCD);
    EXPECT_EQ(display.lines, std::vector<std::string>{"I No builds found for device [0000ABCD]"});
    display.lines.clear();
    _display_builds(display, {{"1001", "2.9.4"}, {"1002", "2.10.1"}, {"12345678901234567", "1.0.0"}},
                    0x40F5849A);
    EXPECT_EQ(display.lines, (std::vector<std::string>{
                                 "I Build List for device [40F5849A]:\n",
                                 "I Build          \tVersion        ",
                                 "I 1002           \t2.10.1         ",
                                 "I 1001           \t2.9.4          ",
                                 "I 123456789012345\t1.0.0          ",
                             }));
    display.lines.clear();
    _display_jwt(display, "");
    _display_jwt(display, "aa.bb.cc");
    EXPECT_EQ(display.lines, (std::vector<std::string>{"I ", "I aa.bb.cc"}));
}

TEST_F(Acquisition, SpinnerTurnsWhileTheWorkerWaits) {
    ReferenceServer server(catalogue(), {"--delay", "bird=0.6"});
    EXPECT_EQ(updater(server.url()).Download_Firmware(0xABCD, "", false, false), 1002u);
    // Drawn at the start and again after a 100 ms step without an answer.
    EXPECT_GE(std::count(display.spinner.begin(), display.spinner.end(), "+Downloading"), 2);
    EXPECT_EQ(std::count(display.spinner.begin(), display.spinner.end(), "-Downloading"), 1);
    EXPECT_EQ(display.spinner.back(), "-Downloading");
}
