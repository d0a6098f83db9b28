// -B, -L, -G and -J of the real executable against the reference server on loopback, with a
// temporary store and a temporary HOME.
#include <filesystem>
#include <gtest/gtest.h>

#include "BirdWriter.h"
#include "KeyValueStore.h"
#include "ReferenceServer.h"

namespace fs = std::filesystem;

namespace {

class AcquisitionCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        tls_ = new TempDir();
        selfSignedCertificate(*tls_);
    }
    static void TearDownTestSuite() {
        delete tls_;
        tls_ = nullptr;
    }
    static std::string catalogue(const char* file = nullptr) {
        return file ? sampleCatalogue() + "/" + file : sampleCatalogue();
    }

    // Runs the updater with -u url -i <temporary store> after the given words.
    ProcessResult updater(const std::string& url, std::vector<std::string> words,
                          bool onTerminal = false) {
        words.insert(words.end(), {"-u", url, "-i", dir.path()});
        ProcessOptions options;
        options.env["HOME"] = dir.file("home");
        options.onTerminal = onTerminal;
        return runProcess(UPDATER_EXE, words, options);
    }
    std::string device(const char* serial) const { return dir.path() + "/updater/" + serial; }

    static TempDir* tls_;
    TempDir dir;
};
TempDir* AcquisitionCommands::tls_ = nullptr;

// Standard output after the version line.
std::string report(const ProcessResult& r) {
    size_t nl = r.out.find('\n');
    return nl == std::string::npos ? "" : r.out.substr(nl + 1);
}

} // namespace

TEST_F(AcquisitionCommands, ListBuildsNewestFirst) {
    ReferenceServer server(catalogue());
    ProcessResult r = updater(server.url(), {"-B", "-d", "0000ABCD"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report(r), "Build List for device [0000ABCD]:\n\n"
                         "Build          \tVersion        \n"
                         "1002           \t2.10.1         \n"
                         "1003           \t2.10.0         \n"
                         "1001           \t2.9.4          \n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(server.requests(),
              (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=0000ABCD&"}));
}

TEST_F(AcquisitionCommands, ListLocalBuildsWithAFolderAmongThem) {
    fs::create_directories(device("0000ABCD") + "/old");
    fs::copy_file(catalogue("hub-1001.bird"), device("0000ABCD") + "/1001.bird");
    fs::copy_file(catalogue("hub-1002.bird"), device("0000ABCD") + "/1002.bird");
    writeFile(device("0000ABCD") + "/1005.bird", "not a BIRD file");
    ProcessResult r = updater(closedServerUrl(), {"-L", "-d", "0000ABCD"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report(r), "Build List for device [0000ABCD]:\n\n"
                         "Build          \tVersion        \n"
                         "1002           \t2.10.1         \n"
                         "1001           \t2.9.4          \n"
                         "1005           \t               \n"
                         "old            \t               \n");
    ProcessResult none = updater(closedServerUrl(), {"-L", "-d", "12345678"});
    EXPECT_EQ(report(none), "No builds found for device [12345678]\n");
}

TEST_F(AcquisitionCommands, GetStoresTheLatestBuild) {
    ReferenceServer server(catalogue());
    ProcessResult r = updater(server.url(), {"-G", "-d", "0000abcd"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(report(r), "Retrieving firmware for device with serial number 0000ABCD\n"
                         "No build specified\n"
                         "Using Latest build\n"
                         "Retrieving build 1002\n"
                         "Validating build 1002 with server\n"
                         "Build 1002 is valid\n");
    EXPECT_EQ(readFile(device("0000ABCD") + "/1002.bird"), readFile(catalogue("hub-1002.bird")));
    KeyValueStore attributes((device("0000ABCD") + "/.settings").c_str());
    std::vector<std::string> keys;
    for (const auto& e : attributes.Entries()) keys.push_back(e.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"CREATED_TIME", "LAST_DOWNLOAD_DATE",
                                              "LATEST_DOWNLOAD", "UPDATED_TIME"}));
    EXPECT_STREQ(attributes["LATEST_DOWNLOAD"], "1002.bird");
    EXPECT_EQ(server.requests(),
              (std::vector<std::string>{
                  "/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=0000ABCD&",
                  "/cgi/u?op=builds&sn=0000ABCD&",
                  "/cgi/u?bld=1002&fw=2.10.1&no_cal=false&op=bird&sn=0000ABCD&"}));
    EXPECT_FALSE(fs::exists(dir.file("home/.olvarin"))) << "-i replaces the home store";
}

TEST_F(AcquisitionCommands, GetUnlistedBuildNeedsTheOverride) {
    ReferenceServer server(catalogue());
    ProcessResult refused = updater(server.url(), {"-G", "-d", "0000ABCD", "-b", "1004"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "No valid build 1004\n");
    EXPECT_FALSE(fs::exists(device("0000ABCD") + "/1004.bird"));

    server.clearRequests();
    ProcessResult r = updater(server.url(), {"-G", "-d", "0000ABCD", "-b", "1004", "-OVERRIDE"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Retrieving firmware build 1004\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Override specified, skipping validation of build 1004\n"),
              std::string::npos);
    EXPECT_EQ(server.requests(),
              (std::vector<std::string>{
                  "/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=0000ABCD&",
                  "/cgi/u?bld=1004&fw=2.10.1&no_cal=false&op=bird&sn=0000ABCD&"}));
    EXPECT_EQ(readFile(device("0000ABCD") + "/1004.bird"),
              readFile(catalogue("hub-1004-engineering.bird")));
}

TEST_F(AcquisitionCommands, TokenIsPrinted) {
    ReferenceServer server(catalogue());
    ProcessResult r = updater(server.url(), {"-J", "-d", "0000ABCD"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string token = report(r);
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(token.back(), '\n');
    token.pop_back();
    EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2) << token;
    EXPECT_EQ(server.requests().back(), "/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&");
}

TEST_F(AcquisitionCommands, ServerFailuresAreShownOnStandardError) {
    ReferenceServer notFound(catalogue(), {"--fault", "bird=404"});
    ReferenceServer notOk(catalogue(), {"--fault", "builds=notok", "--fault", "ent_jwt=notok"});
    ReferenceServer badImage(catalogue(), {"--fault", "bird=badbase64"});
    ReferenceServer tls(catalogue(), {"--tls-cert", tls_->file("cert.pem"), "--tls-key",
                                      tls_->file("key.pem")});
    const std::string down = closedServerUrl();
    struct Case {
        const char* name;
        std::string url;
        std::vector<std::string> words;
        int status;
        std::string err;
    } cases[] = {
        {"server down", down, {"-B", "-d", "0000ABCD"}, 0, "Server request failed for " + down + "\n"},
        {"server down", down, {"-G", "-d", "0000ABCD"}, 1, "Server request failed for " + down + "\n"},
        {"404", notFound.url(), {"-G", "-d", "0000ABCD"}, 1,
         "Download failed\nFailed to retrieve a valid BIRD file\n"},
        {"not ok", notOk.url(), {"-B", "-d", "0000ABCD"}, 0, "Failed to retrieve builds for 0000ABCD\n"},
        {"not ok", notOk.url(), {"-J", "-d", "0000ABCD"}, 0, "Failed to retrieve jwt for 0000ABCD\n"},
        {"undecodable", badImage.url(), {"-G", "-d", "0000ABCD"}, 1,
         "Failed to retrieve a valid BIRD file\n"},
        {"self-signed", tls.url("https"), {"-G", "-d", "0000ABCD"}, 1,
         "Server request failed for " + tls.url("https") + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.words[0]);
        ProcessResult r = updater(c.url, c.words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_FALSE(fs::exists(device("0000ABCD") + "/1002.bird"));
    EXPECT_EQ(readFile(device("0000ABCD") + "/.settings").find("LATEST_DOWNLOAD"),
              std::string::npos);
    EXPECT_TRUE(tls.requests().empty()) << "no request got through the refused handshake";
}

TEST_F(AcquisitionCommands, FailedWriteStoresAndRecordsNothing) {
    ReferenceServer server(catalogue());
    // The shell keeps the updater from writing files above 4 KiB: the image (about 4.7 KiB)
    // fails, the small attribute file does not.
    std::string command = "trap '' XFSZ; ulimit -f 4; exec " + std::string(UPDATER_EXE) +
                          " -G -d 0000ABCD -u " + server.url() + " -i " + dir.path();
    ProcessResult r = runProcess("/bin/sh", {"-c", command});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("Failed to write file with ", 0), 0u) << r.err;
    ASSERT_TRUE(fs::is_directory(device("0000ABCD")));
    std::vector<std::string> names;
    for (auto& e : fs::directory_iterator(device("0000ABCD"))) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{".settings"});
    EXPECT_EQ(readFile(device("0000ABCD") + "/.settings").find("LATEST_DOWNLOAD"),
              std::string::npos);
}

TEST_F(AcquisitionCommands, SpinnerOnlyOnATerminal) {
    ReferenceServer server(catalogue(), {"--delay", "bird=0.5"});
    ProcessResult tty = updater(server.url(), {"-G", "-d", "0000ABCD"}, true);
    EXPECT_EQ(tty.status, 0) << tty.err;
    EXPECT_NE(tty.out.find("\r (Downloading) .      \r"), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find("\r (Downloading) ..      \r"), std::string::npos) << tty.out;
    EXPECT_NE(tty.out.find("\r" + std::string(88, ' ') + "\r"), std::string::npos);

    ProcessResult file = updater(server.url(), {"-G", "-d", "0000ABCD", "-b", "1001"});
    EXPECT_EQ(file.status, 0) << file.err;
    EXPECT_EQ(file.out.find('\r'), std::string::npos) << file.out;
    EXPECT_EQ(file.out.find("Downloading"), std::string::npos);
    EXPECT_NE(file.out.find("Build 1001 is valid\n"), std::string::npos);
}
