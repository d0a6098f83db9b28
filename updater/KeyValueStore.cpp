#include "KeyValueStore.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "Log.h"
#include "aFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

constexpr unsigned long _LINE_SIZE = 2048;

bool _blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string _trimmed(const char* begin, const char* end) {
    while (begin < end && _blank(*begin)) ++begin;
    while (end > begin && _blank(end[-1])) --end;
    return std::string(begin, end);
}

// A name beside the file that no other writer in this or another process picks.
std::string _temporaryName(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    return path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

} // namespace

KeyValueStore::KeyValueStore(const char* path) {
    if (path != nullptr) (void)Load(path);
}

KeyValueStore::~KeyValueStore() { _entries.clear(); }

std::string KeyValueStore::TimeStamp() {
    time_t now = time(nullptr);
    char text[64] = {};
    if (ctime_r(&now, text) == nullptr) return "";
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] == '\n') text[n - 1] = 0;
    return text;
}

void KeyValueStore::_parseLine(const char* line) {
    const size_t length = strlen(line);
    if (length < 3 || line[0] == '#') return;
    const char* end = line + length;
    const char* eq = strchr(line, '=');
    // A line without "=" or with an empty key carries nothing we could look up: skipped.
    if (eq == nullptr) return;
    std::string key = _trimmed(line, eq);
    if (key.empty()) return;
    _entries[key] = _trimmed(eq + 1, end);
}

aErr KeyValueStore::Load(const char* path) {
    if (path == nullptr) return aErrParam;
    auto file = aFile_Open(path, aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path, errno);
        Add(KEY_CREATED_TIME, TimeStamp());
        (void)Save(path);
        return aErrParam;
    }
    _path = path;
    _dirty = false;
    char line[_LINE_SIZE];
    unsigned long length = 0;
    while (aFile_ReadLine(file, line, sizeof(line), &length) == aErrNone) _parseLine(line);
    return aFile_Close(&file);
}

bool KeyValueStore::Save(const char* path) {
    if (path != nullptr) {
        _path = path;
    } else if (_path.empty()) {
        _path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 _path.c_str());
    }
    if (_dirty) Add(KEY_UPDATED_TIME, TimeStamp());

    const std::string temporary = _temporaryName(_path);
    auto file = aFile_Open(temporary.c_str(), aFileModeWrite);
    if (file == nullptr) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 _path.c_str(), errno);
        return false;
    }
    aErr e = aErrNone;
    for (const auto& [key, value] : _entries) {
        e = aFile_Printf(file, "%s=%s\n", key.c_str(), value.c_str());
        if (e != aErrNone) break;
    }
    // Closing flushes: a full disk shows here.
    aErr closed = aFile_Close(&file);
    if (e == aErrNone) e = closed;
    if (e == aErrNone && rename(temporary.c_str(), _path.c_str()) != 0) e = aErrWrite;
    if (e != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error (%d) writing attributes file: '%s' (%d)\n",
                 static_cast<int>(e), _path.c_str(), errno);
        (void)aFile_Delete(temporary.c_str());
        return false;
    }
    _dirty = false;
    return true;
}

const char* KeyValueStore::operator[](const char* key) const {
    if (key == nullptr) return nullptr;
    auto it = _entries.find(key);
    return it == _entries.end() ? nullptr : it->second.c_str();
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const {
    if (const char* value = (*this)[key]) return value;
    return defaultValue ? defaultValue : "";
}

const char* KeyValueStore::_typed(const char* key) {
    if (key == nullptr) return nullptr;
    const std::string& value = _entries[key];
    return value.empty() ? nullptr : value.c_str();
}

int KeyValueStore::GetInt(const char* key, int defaultValue) {
    const char* value = _typed(key);
    return value ? atoi(value) : defaultValue;
}

unsigned KeyValueStore::GetHex(const char* key, unsigned defaultValue) {
    const char* value = _typed(key);
    return value ? static_cast<unsigned>(strtol(value, nullptr, 16)) : defaultValue;
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue) {
    const char* value = _typed(key);
    return value ? atoi(value) != 0 : defaultValue;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue) {
    const char* value = _typed(key);
    return value ? atof(value) : defaultValue;
}

bool KeyValueStore::Add(const char* key, const char* value) {
    if (key == nullptr) return false;
    std::string& current = _entries[key];
    const char* text = value ? value : "";
    if (current != text) {
        _dirty = true;
        current = text;
    }
    return true;
}

bool KeyValueStore::Add(const char* key, const std::string& value) {
    return Add(key, value.c_str());
}

bool KeyValueStore::Add(const char* key, int value) { return Add(key, std::to_string(value)); }

bool KeyValueStore::Add(const char* key, double value) {
    char text[512];
    snprintf(text, sizeof(text), "%f", value);
    return Add(key, text);
}

bool KeyValueStore::AddHex(const char* key, unsigned value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", value);
    return Add(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& [key, value] : other._entries) _entries[key] = value;
    if (!other._entries.empty()) _dirty = true;
    return true;
}

void KeyValueStore::Clear() {
    _entries.clear();
    _dirty = true;
}
