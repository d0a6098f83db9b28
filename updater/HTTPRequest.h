// One HTTP GET through libcurl's easy interface, and the answer it collects.
//
// Each GET creates and releases its own transfer handle, so GETs may run on any thread.
// TLS is checked in full (peer certificate against the system CA store, host name), and every
// transfer has a connect time-out and a low-speed limit, so a silent server ends the request
// instead of holding the caller forever.
#ifndef KORVEL_HTTPREQUEST_H
#define KORVEL_HTTPREQUEST_H

#include <cstdint>
#include <map>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request) : _request(std::move(request)) {}

    // The full URL that was requested.
    const std::string& get_request() const { return _request; }
    int64_t get_status() const { return _status; }
    // The body as a modifiable NUL-terminated text (valid until the next process()).
    char* get_response() { return _body.data(); }
    const std::string& body() const { return _body; }

    void set_status(long status) { _status = status; }
    // Appends received bytes to the body.
    void process(const char* bytes, unsigned long length) { _body.append(bytes, length); }

private:
    std::string _request;
    int64_t _status = 0;
    std::string _body;
};

struct HTTPLimits {
    long connectTimeoutSeconds = 15;
    // The transfer is abandoned when it moves fewer than lowSpeedBytes per second for
    // lowSpeedSeconds in a row.
    long lowSpeedBytes = 1;
    long lowSpeedSeconds = 30;
    // A body larger than this ends the transfer as an error.
    unsigned long maxBodyBytes = 64ul * 1024 * 1024;
};

class HTTPRequest {
public:
    using Parameters = std::map<std::string, std::string>;

    using Limits = HTTPLimits;

    // The request URL: url, then "?" and "key=value&" for every parameter in key order when
    // there are parameters. Values go in as they are (no percent-encoding).
    static std::string BuildURL(const char* url, const Parameters& parameters);

    // Performs the GET. Throws std::runtime_error with libcurl's description of the failure
    // (or "Could not create curl instance"); an HTTP status other than 200 is not a failure
    // here, it is in the response. Only http and https URLs are fetched.
    static HTTPResponse GET(const char* url, const Parameters& parameters,
                            const Limits& limits = Limits());
};

#endif
