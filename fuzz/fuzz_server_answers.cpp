// The update-server answer parsers and the version order on arbitrary bodies.
#include <cstdint>
#include <string>

#include "UpdateServerRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    auto response = [&] {
        HTTPResponse r("http://127.0.0.1/cgi/u?op=fuzz&");
        r.set_status(200);
        r.process(body.data(), body.size());
        return r;
    };
    std::string build, version, text;
    BuildList builds;
    unsigned serial = 0, number = 0;
    {
        HTTPResponse r = response();
        (void)UpdateServerRequest::ParsePing(r);
    }
    {
        HTTPResponse r = response();
        (void)UpdateServerRequest::ParseQueryBuild(r, build, version);
    }
    {
        HTTPResponse r = response();
        (void)UpdateServerRequest::ParseGetBuild(r, text);
    }
    {
        HTTPResponse r = response();
        (void)UpdateServerRequest::ParseGetRecoveryInfo(r, &serial, &number);
    }
    {
        HTTPResponse r = response();
        (void)UpdateServerRequest::ParseGetDeviceJWT(r, text);
    }
    {
        HTTPResponse r = response();
        if (UpdateServerRequest::ParseGetBuildList(r, builds)) {
            BuildEntries sorted = UpdateServerRequest::SortBuildsByVersion(builds);
            if (sorted.size() != builds.size()) __builtin_trap();
        }
    }
    return 0;
}
