// The client against the reference update server on loopback.
#include "UpdateServerRequest.h"

#include <gtest/gtest.h>
#include <stdexcept>

#include "ReferenceServer.h"
#include "base64.h"

namespace {

class UpdateServerRequestTest : public ::testing::Test {
protected:
    static std::string catalogue() { return sampleCatalogue(); }
};

// Every operation once against the server; true for each that succeeded.
std::vector<bool> allOperations(const std::string& url) {
    std::string build, version, data, token;
    BuildList list;
    unsigned fp[4] = {1, 2, 3, 4}, serial = 0, recoveryBuild = 0;
    const char* s = url.c_str();
    return {UpdateServerRequest::ping(s),
            UpdateServerRequest::QueryBuild(0xABCD, build, version, s),
            UpdateServerRequest::GetBuild(0xABCD, "2.10.1", "1002", data, s, false),
            UpdateServerRequest::GetBuildList(0xABCD, list, s),
            UpdateServerRequest::GetRecoveryInfo(fp, &serial, &recoveryBuild, s),
            UpdateServerRequest::GetDeviceJWT(0xABCD, token, s)};
}

} // namespace

TEST_F(UpdateServerRequestTest, EveryRequestHasItsExactQueryAndAnswer) {
    ReferenceServer server(catalogue());
    const std::string url = server.url();
    const char* s = url.c_str();

    EXPECT_TRUE(UpdateServerRequest::ping(s));

    std::string build, version;
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(0xABCD, build, version, s));
    EXPECT_EQ(build, "1002");
    EXPECT_EQ(version, "2.10.1");

    std::string data;
    ASSERT_TRUE(UpdateServerRequest::GetBuild(0xABCD, "2.10.1", "1002", data, s, false));
    unsigned long n = 0;
    unsigned char* bytes = base64_decode(data.data(), data.size(), &n);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), n),
              readFile(catalogue() + "/hub-1002.bird"));
    free(bytes);
    EXPECT_TRUE(UpdateServerRequest::GetBuild(0xABCD, "2.10.1", "1001", data, s, true));

    BuildList list;
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(0xABCD, list, s));
    EXPECT_EQ(list, (BuildList{{"1001", "2.9.4"}, {"1002", "2.10.1"}, {"1003", "2.10.0"}}));

    unsigned fp[4] = {1, 2, 3, 4}, serial = 0, recoveryBuild = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fp, &serial, &recoveryBuild, s));
    EXPECT_EQ(serial, 0x40F5849Au);
    EXPECT_EQ(recoveryBuild, 1203u);

    std::string token;
    ASSERT_TRUE(UpdateServerRequest::GetDeviceJWT(0xABCD, token, s));
    EXPECT_EQ(std::count(token.begin(), token.end(), '.'), 2) << token;

    EXPECT_EQ(server.requests(),
              (std::vector<std::string>{
                  "/cgi/u?op=hi&rv=2&",
                  "/cgi/u?op=qu&sn=0000ABCD&",
                  "/cgi/u?bld=1002&fw=2.10.1&no_cal=false&op=bird&sn=0000ABCD&",
                  "/cgi/u?bld=1001&fw=2.10.1&no_cal=true&op=bird&sn=0000ABCD&",
                  "/cgi/u?op=builds&sn=0000ABCD&",
                  "/cgi/u?brief=true&fp=00000001%2000000002%2000000003%2000000004&op=fix&",
                  "/cgi/u?json=false&op=ent_jwt&sn=0000ABCD&",
              }));
}

TEST_F(UpdateServerRequestTest, RefusalsAndUnreachableServersFailEveryRequest) {
    const std::vector<bool> allFailed(6, false);
    for (const char* fault : {"all=404", "all=500", "all=notok", "all=close"}) {
        ReferenceServer server(catalogue(), {"--fault", fault});
        EXPECT_EQ(allOperations(server.url()), allFailed) << fault;
    }
    EXPECT_EQ(allOperations(closedServerUrl()), allFailed);
    // An unknown device is refused by the server's first line.
    ReferenceServer server(catalogue());
    std::string build = "keep", version = "keep";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(0x12345678, build, version, server.url().c_str()));
    EXPECT_EQ(build, "keep");
}

TEST_F(UpdateServerRequestTest, SilentServerEndsTheTransfer) {
    ReferenceServer server(catalogue(), {"--fault", "all=stall"});
    HTTPLimits limits;
    limits.connectTimeoutSeconds = 2;
    limits.lowSpeedSeconds = 1;
    EXPECT_THROW(HTTPRequest::GET(server.url().c_str(), {{"op", "hi"}}, limits),
                 std::runtime_error);
}

TEST_F(UpdateServerRequestTest, OversizedAnswerEndsTheTransfer) {
    ReferenceServer server(catalogue());
    HTTPLimits limits;
    limits.maxBodyBytes = 1000;
    EXPECT_THROW(HTTPRequest::GET(server.url().c_str(),
                                  {{"bld", "1002"}, {"op", "bird"}, {"sn", "0000ABCD"}}, limits),
                 std::runtime_error);
    limits.maxBodyBytes = 100000;
    EXPECT_EQ(HTTPRequest::GET(server.url().c_str(),
                               {{"bld", "1002"}, {"op", "bird"}, {"sn", "0000ABCD"}}, limits)
                  .get_status(),
              200);
}

TEST_F(UpdateServerRequestTest, OnlyHttpAndHttpsAreFetched) {
    TempDir dir;
    writeFile(dir.file("answer"), "ok\n");
    EXPECT_THROW(HTTPRequest::GET(("file://" + dir.file("answer")).c_str(), {}),
                 std::runtime_error);
}

TEST_F(UpdateServerRequestTest, SelfSignedCertificateIsRefused) {
    TempDir dir;
    selfSignedCertificate(dir);
    ReferenceServer server(catalogue(),
                           {"--tls-cert", dir.file("cert.pem"), "--tls-key", dir.file("key.pem")});
    try {
        HTTPRequest::GET(server.url("https").c_str(), {{"op", "hi"}, {"rv", "2"}});
        FAIL() << "a certificate nobody vouches for was accepted";
    } catch (const std::runtime_error& e) {
        // The refusal is the certificate check, not a broken connection.
        EXPECT_NE(std::string(e.what()).find("certificate"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(UpdateServerRequest::ping(server.url("https").c_str()));
    // Nothing got through to a request handler.
    EXPECT_TRUE(server.requests().empty());
}
