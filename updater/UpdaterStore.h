// The firmware store: a base folder with one folder per device, named by its serial number as
// eight upper-case hexadecimal digits, holding the attribute file ".settings" and the BIRD
// files downloaded for it ("BUILD.bird").
//
// The store keeps no state beyond its base path: every query walks the disk again and every
// item loads its attribute file anew. Names that begin with "." are never listed as builds.
// Store operations that cannot go on throw std::runtime_error with a message text; the
// orchestration catches them. Diagnostics go to the debug log under DEBUG_Updater.
#ifndef KORVEL_UPDATERSTORE_H
#define KORVEL_UPDATERSTORE_H

#include <cstdint>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t : uint8_t { STORE_ITEM_FILE = 0, STORE_ITEM_DIRECTORY = 1, STORE_ITEM_NOT_SET = 2 };

// One entry of the store (a device folder, or an entry inside one) with the attributes loaded
// from parent/name/.settings. Valid when parent and name are both set. Copyable.
class UpdaterStoreItem {
public:
    UpdaterStoreItem();
    UpdaterStoreItem(const char* parent, const char* name, store_item_t kind);

    bool IsValid() const { return !_parent.empty() && !_name.empty(); }
    const std::string& Parent() const { return _parent; }
    const std::string& Name() const { return _name; }
    store_item_t Kind() const { return _kind; }
    // parent/name
    std::string Path() const;

    // Writes the bytes to parent/name/fileName through a temporary file that is renamed over
    // the old one, so a failed write leaves no partial file and the old one intact.
    // aErrNotFound for null data or a file that cannot be created, aErrParam for a file name
    // that is not a plain name, aErrIO or aErrWrite when the bytes could not all be written.
    aErr WriteFile(const char* fileName, const unsigned char* data, unsigned long length);
    // Loads parent/name/fileName; throws "Invalid bird " + path when it does not look like a
    // BIRD file, or BirdFile's own error when it cannot be loaded.
    BirdFile ReadBirdFile(const char* fileName);
    // An entry named fileName exists in this item's folder.
    bool FileExists(const char* fileName);

private:
    std::string _parent;
    std::string _name;
    store_item_t _kind;

public:
    KeyValueStore attributes;
};

// The state of a search for one entry by its own name.
struct result_t {
    bool found = false;
    std::string search;
    UpdaterStoreItem* item = nullptr;
};

class UpdaterStore {
public:
    // Ensures the base folder exists (mode 0755, parents included). Throws
    // "UpdaterStore: Could not create directory PATH error CODE" or
    // "UpdaterStore: PATH exists and is a file".
    explicit UpdaterStore(const char* base);

    const char* BasePath() const { return _base.c_str(); }

    // Ensures base/SERIAL (or base/name) exists, with the same errors as the constructor, and
    // returns its item; loading its attributes creates .settings when it is missing.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const char* name);
    // Finds the entry of the base folder whose own name equals the serial's eight digits (or
    // name); fills *item when it is not null.
    bool FindDevice(unsigned serial, UpdaterStoreItem* item);
    bool FindDevice(const char* name, UpdaterStoreItem* item);
    // Appends one item for every entry of the device's folder whose name does not begin with
    // "."; leaves items alone when the device has no folder. Always true.
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items);

private:
    std::string _base;
};

// An advisory lock on a folder, held while it lives: two processes that both take it do not
// interleave their writes to the folder. Blocks until the lock is had; a folder that cannot
// be opened is not locked (Locked() false) and nothing else changes.
class StoreFolderLock {
public:
    explicit StoreFolderLock(const std::string& folder);
    ~StoreFolderLock();
    StoreFolderLock(const StoreFolderLock&) = delete;
    StoreFolderLock& operator=(const StoreFolderLock&) = delete;
    bool Locked() const { return _fd >= 0; }

private:
    int _fd = -1;
};

#endif
