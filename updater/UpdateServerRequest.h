// The update-server client: one static operation per request, each a GET on the server URL
// answered by a short text of lines whose first line begins with "ok".
//
// Every operation returns true on success and never throws: a transfer error, an HTTP status
// other than 200 or a refusal gives false, with the reason in the debug log (DEBUG_ServerComm).
// Outputs that an otherwise good answer lacks are left as they were, so callers initialise
// them. A null server URL means the default update server. Safe on any thread.
//
// The Parse* functions are the answer half of each operation, on a response already received;
// the operations are GET followed by them.
#ifndef KORVEL_UPDATESERVERREQUEST_H
#define KORVEL_UPDATESERVERREQUEST_H

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "HTTPRequest.h"

// Build text (decimal digits) to version text (such as 2.10.1), in ascending build text.
using BuildList = std::map<std::string, std::string>;
using BuildEntries = std::vector<std::pair<std::string, std::string>>;

class UpdateServerRequest {
public:
    static bool ping(const char* server);
    static bool QueryBuild(unsigned serial, std::string& build, std::string& version,
                           const char* server);
    // base64Data is cleared, then set to the answer's second line when there is one.
    static bool GetBuild(unsigned serial, const char* version, const char* build,
                         std::string& base64Data, const char* server, bool noCal);
    // builds is emptied first; a build listed twice keeps its first version.
    static bool GetBuildList(unsigned serial, BuildList& builds, const char* server);
    static bool GetRecoveryInfo(const unsigned fingerprint[4], unsigned* serial, unsigned* build,
                                const char* server);
    // The token is three dot-separated parts of at least two characters each.
    static bool GetDeviceJWT(unsigned serial, std::string& token, const char* server);

    // Newest version first. Versions that are not three numbers go after all the others, in
    // build order among themselves (each is logged).
    static BuildEntries SortBuildsByVersion(const BuildList& builds);
    // The three parts of a version text, or nothing when it does not have exactly three.
    static std::vector<std::string> SplitKorvelVersion(const std::string& version);

    static bool ParsePing(HTTPResponse& response);
    static bool ParseQueryBuild(HTTPResponse& response, std::string& build, std::string& version);
    static bool ParseGetBuild(HTTPResponse& response, std::string& base64Data);
    static bool ParseGetBuildList(HTTPResponse& response, BuildList& builds);
    static bool ParseGetRecoveryInfo(HTTPResponse& response, unsigned* serial, unsigned* build);
    static bool ParseGetDeviceJWT(HTTPResponse& response, std::string& token);
};

#endif
