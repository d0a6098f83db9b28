// Firmware acquisition: build lists from the server and the store, downloads into the store,
// and the device's feature token.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "Updater.h"
#include "base64.h"
#include "path.h"

namespace {

using Level = UpdaterDisplayInterface::Level;
constexpr auto _SPINNER_STEP = std::chrono::milliseconds(100);
const char* const _SPINNER_LABEL = "Downloading";
const char* const _BIRD_SUFFIX = ".bird";

// A decimal number as strtoul reads it (white space and a sign first, digits up to the first
// other character), cut to 32 bits; false when no digit was read or it does not fit 64 bits.
bool _decimal(const std::string& text, uint32_t* value) {
    const char* start = text.c_str();
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(start, &end, 10);
    if (end == start || errno == ERANGE) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

uint32_t _decimalOrZero(const std::string& text) {
    uint32_t value = 0;
    if (!_decimal(text, &value)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return value;
}

struct _Freed {
    void operator()(unsigned char* p) const { free(p); }
};

// The decoded image looks like a BIRD file and its body inflates: anything else is not worth
// putting into the store (it would replace a stored build with junk).
bool _usableImage(const unsigned char* bytes, unsigned long length) {
    if (length <= 6 || memcmp(bytes, "bird", 4) != 0 || bytes[4] == 0 || bytes[5] == 0)
        return false;
    BirdFile check;
    return check.DecompressData(bytes + 6, length - 6);
}

} // namespace

std::unique_ptr<UpdaterStore> Updater::_createUpdaterStore(UpdaterDisplayInterface& display,
                                                           const std::string& directory,
                                                           const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(directory.c_str());
    } catch (const std::runtime_error& e) {
        display.message(Level::ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller, e.what());
        return nullptr;
    }
}

bool Updater::_valid_build(uint32_t serial, uint32_t build, const char* serverUrl) {
    BuildList builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverUrl)) return false;
    for (const auto& entry : builds)
        if (_decimalOrZero(entry.first) == build) return true;
    return false;
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string& build, bool override,
                                    bool noCal) {
    const char* url = _serverUrl.c_str();
    uint32_t requested = 0;
    if (!build.empty() && !_decimal(build, &requested)) {
        _display.message(Level::ERROR, "Build number '%s' must be an number", build.c_str());
        return 0;
    }
    if (serial == 0) {
        _display.message(Level::ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(url)) {
        _display.message(Level::ERROR, "Server request failed for %s", url);
        return 0;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(_display, _storeDirectory, "Download_Firmware");
    if (!store) return 0;
    UpdaterStoreItem device;
    if (!store->FindDevice(serial, &device)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serial);
        } catch (const std::runtime_error&) {
            _display.message(Level::ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latestBuild, latestVersion;
    if (!UpdateServerRequest::QueryBuild(serial, latestBuild, latestVersion, url)) {
        _display.message(Level::ERROR, "No build information for device");
        return 0;
    }
    const uint32_t number = requested != 0 ? requested : _decimalOrZero(latestBuild);

    _display.message(Level::INFO, "Retrieving build %u", number);
    if (override) {
        _display.message(Level::INFO, "Override specified, skipping validation of build %u",
                         number);
    } else {
        _display.message(Level::INFO, "Validating build %u with server", number);
        if (!_valid_build(serial, number, url)) {
            _display.message(Level::ERROR, "No valid build %u", number);
            return 0;
        }
        _display.message(Level::INFO, "Build %u is valid", number);
    }

    // The worker owns nothing the main thread touches until the future says it is done.
    const std::string buildText = std::to_string(number);
    std::string data;
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread worker([&] {
        bool ok = false;
        try {
            ok = UpdateServerRequest::GetBuild(serial, latestVersion.c_str(), buildText.c_str(),
                                               data, url, noCal);
        } catch (...) {
            ok = false;
        }
        done.set_value(ok);
    });
    _display.update_spinner(true, _SPINNER_LABEL);
    while (result.wait_for(_SPINNER_STEP) != std::future_status::ready)
        _display.update_spinner(true, _SPINNER_LABEL);
    _display.update_spinner(false, _SPINNER_LABEL);
    const bool downloaded = result.get();
    worker.join();
    if (!downloaded) _display.message(Level::ERROR, "Download failed");

    if (data.empty()) {
        _display.message(Level::ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    unsigned long length = 0;
    std::unique_ptr<unsigned char, _Freed> image(base64_decode(data.data(), data.size(), &length));
    if (!image || !_usableImage(image.get(), length)) {
        Log::log(DEBUG_APP, "Download_Firmware: the server's answer is not a BIRD file\n");
        _display.message(Level::ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string fileName = buildText + _BIRD_SUFFIX;
    StoreFolderLock lock(device.Path());
    aErr e = device.WriteFile(fileName.c_str(), image.get(), length);
    if (e != aErrNone) {
        _display.message(Level::ERROR, "Failed to write file with %d", static_cast<int>(e));
        return 0;
    }
    // Read the attributes again under the lock: another process may have changed them since.
    KeyValueStore attributes(
        BuildPath(device.Path().c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr).c_str());
    attributes.Add("LATEST_DOWNLOAD", fileName);
    attributes.Add("LAST_DOWNLOAD_DATE", KeyValueStore::TimeStamp());
    (void)attributes.Save();
    device.attributes = attributes;
    return number;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& build,
                                    bool override) {
    uint32_t number = _decimalOrZero(build);
    unsigned serial = 0, recommended = 0;
    const unsigned words[4] = {fingerprint.words[0], fingerprint.words[1], fingerprint.words[2],
                               fingerprint.words[3]};
    if (!UpdateServerRequest::GetRecoveryInfo(words, &serial, &recommended, _serverUrl.c_str())) {
        _display.message(Level::ERROR,
                         "Failed to retrieve recovery information from Olvarin update server");
        return 0;
    }
    if (number == 0) number = recommended;
    return Download_Firmware(serial, std::to_string(number), override, false);
}

BuildList Updater::Get_BuildList(uint32_t serial) {
    BuildList builds;
    if (!_ask_server("Failed to retrieve builds for %08X", serial, [&](const char* url) {
            return UpdateServerRequest::GetBuildList(serial, builds, url);
        }))
        builds.clear();
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
    std::string token;
    if (!_ask_server("Failed to retrieve jwt for %08X", serial, [&](const char* url) {
            return UpdateServerRequest::GetDeviceJWT(serial, token, url);
        }))
        token.clear();
    return token;
}

bool Updater::_ask_server(const char* failure, uint32_t serial,
                          const std::function<bool(const char*)>& request) {
    const char* url = _serverUrl.c_str();
    if (!UpdateServerRequest::ping(url)) {
        _display.message(Level::ERROR, "Server request failed for %s", url);
        return false;
    }
    if (!request(url)) {
        _display.message(Level::ERROR, failure, serial);
        return false;
    }
    return true;
}

BuildList Updater::Get_BuildListLocal(uint32_t serial) {
    BuildList builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(_display, _storeDirectory, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    (void)store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        const std::string& name = item.Name();
        std::string version;
        const std::string path = item.Path();
        if (item.IsValid() && BirdFile::VerifyFile(path.c_str())) {
            try {
                version = BirdFile(path.c_str()).GetVersion();
                if (!version.empty())
                    Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n",
                             path.c_str());
            } catch (const std::runtime_error&) {
                version.clear();
            }
        } else {
            Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        }
        builds.emplace(name.substr(0, name.find(_BIRD_SUFFIX)), version);
    }
    return builds;
}
