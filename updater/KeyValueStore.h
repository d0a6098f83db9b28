// An ordered dictionary of text keys and values kept in a KEY=VALUE text file: the attribute
// file of every device folder in the store.
//
// Keys are case-sensitive and ordered by byte value. The typed getters record a missing key
// with an empty value (so the next Save writes it as "KEY="); the setters mark the store dirty
// only when a value actually changes, and Save refreshes UPDATED_TIME when dirty. Save never
// leaves a truncated file: it writes a temporary file beside the old one and renames it over.
// Diagnostics go to the debug log under DEBUG_Attributes. Not shared between threads.
#ifndef KORVEL_KEYVALUESTORE_H
#define KORVEL_KEYVALUESTORE_H

#include <map>
#include <string>

#include "aError.h"

class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME; // ".settings"
    static const char* const KEY_CREATED_TIME; // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME; // "UPDATED_TIME"

    // Loads path when it is not null.
    explicit KeyValueStore(const char* path = nullptr);
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;
    ~KeyValueStore();

    // Merges the entries of the file into the map. A file that cannot be opened is created
    // holding CREATED_TIME and UPDATED_TIME (and aErrParam returned); otherwise the code of
    // closing it. Lines of 2048 characters or more end the reading.
    aErr Load(const char* path);
    // Writes every entry as "KEY=VALUE" to path (null: the stored path, or ".settings").
    // True when the file was replaced; on failure the old file is untouched.
    bool Save(const char* path = nullptr);

    // The value, or null when the key is absent.
    const char* operator[](const char* key) const;
    std::string GetString(const char* key, const char* defaultValue) const;
    int GetInt(const char* key, int defaultValue);
    unsigned GetHex(const char* key, unsigned defaultValue);
    bool GetBOOL(const char* key, bool defaultValue);
    double GetDouble(const char* key, double defaultValue);

    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool AddHex(const char* key, unsigned value);
    bool Add(const KeyValueStore& other);
    void Clear();

    const std::string& Path() const { return _path; }
    const std::map<std::string, std::string>& Entries() const { return _entries; }
    bool IsDirty() const { return _dirty; }

    // The current local time as ctime() gives it, without the line end.
    static std::string TimeStamp();

private:
    // The stored value for a typed getter: a missing key is added empty; null when empty.
    const char* _typed(const char* key);
    void _parseLine(const char* line);

    std::string _path;
    std::map<std::string, std::string> _entries;
    bool _dirty = false;
};

#endif
