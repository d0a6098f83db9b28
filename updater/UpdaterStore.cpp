#include "UpdaterStore.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <unistd.h>

#include "Log.h"
#include "aDirectory.h"
#include "aFile.h"
#include "path.h"

namespace {

constexpr unsigned _DIRECTORY_MODE = 0755;

std::string _serialName(unsigned serial) {
    char name[16];
    snprintf(name, sizeof(name), "%08X", serial);
    return name;
}

// The entry's own name: what follows the last "/" of its full path.
std::string _ownName(const char* fullPath) {
    const char* slash = strrchr(fullPath, '/');
    return slash ? slash + 1 : fullPath;
}

void _ensure(const std::string& path) {
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    aErr e = aDirectory_Ensure(path.c_str(), _DIRECTORY_MODE);
    if (e != aErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(static_cast<unsigned>(e)));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

bool _find_item(const aDirectoryListData* entry, void* reference) {
    auto* result = static_cast<result_t*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size),
             result->search.c_str());
    // Matched by the entry's own name: a store under a folder whose path happens to contain
    // the digits must not match every entry.
    const std::string name = _ownName(entry->path);
    if (name == "." || name == ".." || name != result->search) return true;
    result->found = true;
    if (result->item != nullptr) {
        const std::string full = entry->path;
        const std::string parent = full.substr(0, full.size() - name.size() - 1);
        *result->item = UpdaterStoreItem(parent.c_str(), name.c_str(),
                                         entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

void _find_in(const std::string& folder, result_t* result) {
    (void)aDirectory_List(folder.c_str(), _find_item, result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result->found ? "Found" : "Not Found", result->search.c_str());
}

struct _Listing {
    std::string folder;
    std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* reference) {
    auto* listing = static_cast<_Listing*>(reference);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size));
    const std::string name = _ownName(entry->path);
    if (name.empty() || name[0] == '.') return true;
    listing->items->emplace_back(listing->folder.c_str(), name.c_str(),
                                 entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

std::string _temporaryName(const std::string& folder, const char* fileName) {
    static std::atomic<unsigned> counter{0};
    // A leading "." keeps a half-written file out of every build listing.
    return BuildPath(folder.c_str(), ("." + std::string(fileName) + ".tmp-" +
                                      std::to_string(getpid()) + "-" + std::to_string(++counter))
                                         .c_str(),
                     nullptr);
}

} // namespace

UpdaterStoreItem::UpdaterStoreItem() : _kind(STORE_ITEM_NOT_SET) {}

UpdaterStoreItem::UpdaterStoreItem(const char* parent, const char* name, store_item_t kind)
    : _parent(parent ? parent : ""), _name(name ? name : ""), _kind(kind) {
    (void)attributes.Load(
        BuildPath(_parent.c_str(), _name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr)
            .c_str());
}

std::string UpdaterStoreItem::Path() const {
    return BuildPath(_parent.c_str(), _name.c_str(), nullptr);
}

aErr UpdaterStoreItem::WriteFile(const char* fileName, const unsigned char* data,
                                 unsigned long length) {
    if (data == nullptr) return aErrNotFound;
    if (fileName == nullptr || fileName[0] == 0 || strchr(fileName, '/') != nullptr ||
        strcmp(fileName, ".") == 0 || strcmp(fileName, "..") == 0)
        return aErrParam;
    const std::string folder = Path();
    const std::string target = BuildPath(folder.c_str(), fileName, nullptr);
    const std::string temporary = _temporaryName(folder, fileName);
    auto file = aFile_Open(temporary.c_str(), aFileModeWrite);
    if (file == nullptr) return aErrNotFound;
    unsigned long written = 0;
    aErr e = aFile_Write(file, data, length, &written);
    if (e == aErrNone && written != length) e = aErrWrite;
    aErr closed = aFile_Close(&file);
    if (e == aErrNone && closed != aErrNone) e = aErrIO;
    if (e == aErrNone && rename(temporary.c_str(), target.c_str()) != 0) e = aErrWrite;
    if (e != aErrNone) (void)aFile_Delete(temporary.c_str());
    return e;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* fileName) {
    const std::string path = BuildPath(Path().c_str(), fileName ? fileName : "", nullptr);
    if (!BirdFile::VerifyFile(path.c_str())) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}

bool UpdaterStoreItem::FileExists(const char* fileName) {
    result_t result;
    result.search = fileName ? fileName : "";
    _find_in(Path(), &result);
    return result.found;
}

UpdaterStore::UpdaterStore(const char* base) : _base(base ? base : "") {
    if (_base.empty()) throw std::runtime_error("UpdaterStore: no store directory");
    _ensure(_base);
}

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) {
    return AddDevice(_serialName(serial).c_str());
}

UpdaterStoreItem UpdaterStore::AddDevice(const char* name) {
    const std::string folderName = name ? name : "";
    if (folderName.empty() || folderName.find('/') != std::string::npos || folderName == "." ||
        folderName == "..")
        throw std::runtime_error("UpdaterStore: invalid device name [" + folderName + "]");
    _ensure(BuildPath(_base.c_str(), folderName.c_str(), nullptr));
    return UpdaterStoreItem(_base.c_str(), folderName.c_str(), STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item) {
    return FindDevice(_serialName(serial).c_str(), item);
}

bool UpdaterStore::FindDevice(const char* name, UpdaterStoreItem* item) {
    result_t result;
    result.search = name ? name : "";
    result.item = item;
    _find_in(_base, &result);
    return result.found;
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return true;
    _Listing listing{device.Path(), &items};
    (void)aDirectory_List(listing.folder.c_str(), _find_items, &listing);
    return true;
}

StoreFolderLock::StoreFolderLock(const std::string& folder) {
    _fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (_fd < 0) return;
    while (flock(_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(_fd);
            _fd = -1;
            return;
        }
    }
}

StoreFolderLock::~StoreFolderLock() {
    if (_fd >= 0) close(_fd); // closing releases the lock
}
