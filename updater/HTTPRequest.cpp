#include "HTTPRequest.h"

#include <curl/curl.h>
#include <mutex>
#include <stdexcept>

#include "Log.h"

namespace {

struct _Transfer {
    HTTPResponse* response;
    unsigned long maxBodyBytes;
    bool tooLarge = false;
};

size_t _rcv_data(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<_Transfer*>(user);
    const size_t bytes = size * count;
    // The chunk is not NUL-terminated: show at most its first 100 bytes.
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%.*s]\n",
             static_cast<int>(size), static_cast<int>(count),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(transfer->response)),
             static_cast<int>(bytes < 100 ? bytes : 100), data);
    if (transfer->response->body().size() + bytes > transfer->maxBodyBytes) {
        transfer->tooLarge = true;
        return 0; // libcurl ends the transfer with a write error
    }
    transfer->response->process(data, bytes);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
    return bytes;
}

void _global_init() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::string HTTPRequest::BuildURL(const char* url, const Parameters& parameters) {
    std::string full = url ? url : "";
    if (!parameters.empty()) {
        full += "?";
        for (const auto& [key, value] : parameters) full += key + "=" + value + "&";
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const char* url, const Parameters& parameters,
                              const Limits& limits) {
    _global_init();
    CURL* curl = curl_easy_init();
    HTTPResponse response(BuildURL(url, parameters));
    if (curl == nullptr) throw std::runtime_error("Could not create curl instance");

    _Transfer transfer{&response, limits.maxBodyBytes};
    CURLcode rc = CURLE_OK;
    // Set in order, stopping at the first option that fails.
    auto set = [&](CURLoption option, auto value) {
        if (rc == CURLE_OK) rc = curl_easy_setopt(curl, option, value);
    };
    set(CURLOPT_WRITEFUNCTION, &_rcv_data);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    set(CURLOPT_URL, response.get_request().c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    // Firmware comes through here: a certificate nobody vouches for must not be accepted.
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYSTATUS, 0L);
    // Time-outs through signals do not mix with the download worker thread.
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    set(CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
    set(CURLOPT_LOW_SPEED_TIME, limits.lowSpeedSeconds);

    long status = 0;
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request().c_str());
        rc = curl_easy_perform(curl);
    }
    if (rc == CURLE_OK) rc = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (transfer.tooLarge) throw std::runtime_error("Answer larger than the limit");
    if (rc != CURLE_OK) throw std::runtime_error(curl_easy_strerror(rc));
    response.set_status(status);
    return response;
}
