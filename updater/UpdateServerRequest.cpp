#include "UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <stdexcept>

#include "AppInfo.h"
#include "Log.h"

namespace {

// Reads an answer the way a strtok loop does: each token starts after any run of delimiters
// and ends at the next one, so empty lines vanish. The body ends at its first NUL byte.
class _Tokens {
public:
    explicit _Tokens(const char* text) : _text(text ? text : "") {}

    std::optional<std::string> next(const char* delimiters) {
        size_t start = _text.find_first_not_of(delimiters, _pos);
        if (start == std::string::npos) {
            _pos = _text.size();
            return std::nullopt;
        }
        size_t end = _text.find_first_of(delimiters, start);
        if (end == std::string::npos) end = _text.size();
        _pos = end < _text.size() ? end + 1 : end;
        return _text.substr(start, end - start);
    }

private:
    std::string _text;
    size_t _pos = 0;
};

const char* _server(const char* server) { return server ? server : AppInfo::DEFAULT_SERVER_URL; }

std::string _serialText(unsigned serial) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

// Status and first line, common to every answer. On success the tokens stand after "ok".
bool _accepted(HTTPResponse& response, const char* operation, _Tokens& tokens) {
    if (response.get_status() != 200) {
        if (std::string(operation) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n",
                     static_cast<int>(response.get_status()), response.get_response());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", operation,
                     static_cast<int>(response.get_status()), response.get_response());
        return false;
    }
    std::optional<std::string> first = tokens.next("\n");
    if (!first || first->compare(0, 2, "ok") != 0) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", operation,
                 response.get_request().c_str());
        return false;
    }
    return true;
}

// GET and parse; a transfer error is logged and counts as failure.
template <typename Parse>
bool _request(const char* operation, const char* server, const HTTPRequest::Parameters& params,
              Parse parse) {
    try {
        HTTPResponse response = HTTPRequest::GET(_server(server), params);
        return parse(response);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", operation, e.what());
        return false;
    }
}

// Reads an unsigned number as strtoul does; nothing when no digit was read.
std::optional<unsigned> _number(const std::string& text, int base) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long value = strtoul(start, &end, base);
    if (end == start || errno == ERANGE) return std::nullopt;
    return static_cast<unsigned>(value);
}

// (major, minor, patch) of a version, each part reduced to 8 bits; nothing when malformed.
std::optional<std::array<unsigned, 3>> _versionKey(const std::string& version) {
    std::vector<std::string> parts = UpdateServerRequest::SplitKorvelVersion(version);
    try {
        if (parts.size() != 3) throw std::invalid_argument("not three parts: " + version);
        std::array<unsigned, 3> key{};
        for (size_t i = 0; i < 3; ++i) key[i] = static_cast<unsigned>(std::stoi(parts[i])) & 0xFF;
        return key;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return std::nullopt;
    }
}

} // namespace

bool UpdateServerRequest::ParsePing(HTTPResponse& response) {
    _Tokens tokens(response.get_response());
    return _accepted(response, "ping", tokens);
}

bool UpdateServerRequest::ParseQueryBuild(HTTPResponse& response, std::string& build,
                                          std::string& version) {
    _Tokens tokens(response.get_response());
    if (!_accepted(response, "QueryBuild", tokens)) return false;
    if (auto line = tokens.next("\n")) build = *line;
    if (auto line = tokens.next("\r\n")) version = *line;
    return true;
}

bool UpdateServerRequest::ParseGetBuild(HTTPResponse& response, std::string& base64Data) {
    _Tokens tokens(response.get_response());
    if (!_accepted(response, "GetBuild", tokens)) return false;
    base64Data.clear();
    if (auto line = tokens.next("\n")) base64Data = *line;
    return true;
}

bool UpdateServerRequest::ParseGetBuildList(HTTPResponse& response, BuildList& builds) {
    builds.clear();
    _Tokens tokens(response.get_response());
    if (!_accepted(response, "GetBuildList", tokens)) return false;
    while (auto line = tokens.next("\n")) {
        if (line->size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line->c_str());
        _Tokens fields(line->c_str());
        std::optional<std::string> build = fields.next(";\r\n");
        if (!build) continue;
        std::string version = fields.next(";\r\n").value_or("");
        builds.emplace(*build, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", build->c_str(),
                 version.c_str());
    }
    return true;
}

bool UpdateServerRequest::ParseGetRecoveryInfo(HTTPResponse& response, unsigned* serial,
                                               unsigned* build) {
    _Tokens tokens(response.get_response());
    if (!_accepted(response, "GetRecoveryInfo", tokens)) return false;
    std::optional<std::string> serialLine = tokens.next("\n");
    std::optional<std::string> buildLine = tokens.next("\n");
    if (serialLine && serial)
        if (auto v = _number(*serialLine, 16)) *serial = *v;
    if (buildLine && build)
        if (auto v = _number(*buildLine, 0)) *build = *v;
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", "ok",
             serialLine.value_or("").c_str(), buildLine.value_or("").c_str());
    return true;
}

bool UpdateServerRequest::ParseGetDeviceJWT(HTTPResponse& response, std::string& token) {
    _Tokens tokens(response.get_response());
    if (!_accepted(response, "GetDeviceJWT", tokens)) return false;
    std::optional<std::string> line = tokens.next("\n");
    if (!line || line->size() <= 2) return false;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", line->c_str());
    _Tokens parts(line->c_str());
    std::optional<std::string> header = parts.next(".");
    std::optional<std::string> payload = parts.next(".");
    std::optional<std::string> signature = parts.next("\r\n");
    for (const auto* part : {&header, &payload, &signature})
        if (!*part || (*part)->size() < 2) return false;
    token = *header + "." + *payload + "." + *signature;
    return true;
}

bool UpdateServerRequest::ping(const char* server) {
    return _request("ping", server, {{"op", "hi"}, {"rv", "2"}},
                    [](HTTPResponse& r) { return ParsePing(r); });
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string& build, std::string& version,
                                     const char* server) {
    return _request("QueryBuild", server, {{"op", "qu"}, {"sn", _serialText(serial)}},
                    [&](HTTPResponse& r) { return ParseQueryBuild(r, build, version); });
}

bool UpdateServerRequest::GetBuild(unsigned serial, const char* version, const char* build,
                                   std::string& base64Data, const char* server, bool noCal) {
    HTTPRequest::Parameters params{{"bld", build ? build : ""},
                                   {"fw", version ? version : ""},
                                   {"no_cal", noCal ? "true" : "false"},
                                   {"op", "bird"},
                                   {"sn", _serialText(serial)}};
    return _request("GetBuild", server, params,
                    [&](HTTPResponse& r) { return ParseGetBuild(r, base64Data); });
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildList& builds, const char* server) {
    builds.clear();
    return _request("GetBuildList", server, {{"op", "builds"}, {"sn", _serialText(serial)}},
                    [&](HTTPResponse& r) { return ParseGetBuildList(r, builds); });
}

bool UpdateServerRequest::GetRecoveryInfo(const unsigned fingerprint[4], unsigned* serial,
                                          unsigned* build, const char* server) {
    if (fingerprint == nullptr) return false;
    char fp[64];
    snprintf(fp, sizeof(fp), "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    return _request("GetRecoveryInfo", server, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}},
                    [&](HTTPResponse& r) { return ParseGetRecoveryInfo(r, serial, build); });
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string& token, const char* server) {
    return _request("GetDeviceJWT", server,
                    {{"json", "false"}, {"op", "ent_jwt"}, {"sn", _serialText(serial)}},
                    [&](HTTPResponse& r) { return ParseGetDeviceJWT(r, token); });
}

std::vector<std::string> UpdateServerRequest::SplitKorvelVersion(const std::string& version) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

BuildEntries UpdateServerRequest::SortBuildsByVersion(const BuildList& builds) {
    struct Keyed {
        std::pair<std::string, std::string> entry;
        std::optional<std::array<unsigned, 3>> key;
    };
    std::vector<Keyed> keyed;
    for (const auto& entry : builds) keyed.push_back({entry, _versionKey(entry.second)});
    // A strict weak order: malformed versions are equivalent to each other and follow every
    // well-formed one; the stable sort keeps them in build order.
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.key && b.key) return *a.key > *b.key;
        return a.key.has_value() && !b.key.has_value();
    });
    BuildEntries sorted;
    for (auto& k : keyed) sorted.push_back(std::move(k.entry));
    return sorted;
}
