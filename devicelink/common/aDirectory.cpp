#include "aDirectory.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Room for a full path plus one entry name.
constexpr size_t sEntryPathSize = aFILE_MAX_PATH + 1 + NAME_MAX + 1;

bool sTooLong(const char* path) {
    return strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH;
}

// mkdir that accepts an existing directory.
bool sMakeOne(const char* path, uint32_t mode) {
    if (aDirectory_Exists(path)) return true;
    if (::mkdir(path, static_cast<mode_t>(mode)) == 0) return true;
    return errno == EEXIST && aDirectory_Exists(path);
}

} // namespace

bool aDirectory_Exists(const char* path) {
    if (!path) return false;
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
    if (!path || path[0] == '\0') return aErrParam;
    if (sTooLong(path)) return aErrFileNameLength;
    if (aDirectory_Exists(path)) return aErrNone;

    char copy[aFILE_MAX_PATH + 1];
    std::strcpy(copy, path);

    // Find the longest existing parent by cutting at each "/" from the end.
    size_t existing = 0; // length of the existing part, 0 when none
    for (size_t cut = std::strlen(copy); cut > 0; --cut) {
        if (copy[cut - 1] != aDIR_PATH_SEP || cut == 1) continue;
        copy[cut - 1] = '\0';
        const bool found = aDirectory_Exists(copy);
        copy[cut - 1] = aDIR_PATH_SEP;
        if (found) {
            existing = cut - 1;
            break;
        }
    }

    // Create each further component by cutting right after it; empty components ("//") and the
    // root need nothing.
    for (size_t i = existing + 1; copy[i] != '\0'; ++i) {
        if (copy[i] != aDIR_PATH_SEP || copy[i - 1] == aDIR_PATH_SEP) continue;
        copy[i] = '\0';
        const bool made = sMakeOne(copy, mode);
        copy[i] = aDIR_PATH_SEP;
        if (!made) return aErrPermission;
    }
    return sMakeOne(copy, mode) ? aErrNone : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference) {
    if (!path || !callback) return aErrParam;
    if (sTooLong(path)) return aErrFileNameLength;
    DIR* dir = ::opendir(path);
    if (!dir) return aErrNotFound;

    char full[sEntryPathSize];
    while (const dirent* entry = ::readdir(dir)) {
        const int n =
            std::snprintf(full, sizeof(full), "%s%c%s", path, aDIR_PATH_SEP, entry->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(full)) continue;
        struct stat st;
        if (::stat(full, &st) != 0) continue;
        aDirectoryListData data;
        data.path = full;
        data.size = static_cast<uint32_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode) ? 1u : 0u;
        if (!callback(&data, reference)) break;
    }
    ::closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (!path) return aErrParam;
    return ::rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

namespace {

// Empties the directory whose path is in path[0, length); path is one shared buffer of
// sEntryPathSize bytes that each level extends and restores, so deep trees cost little stack.
// Returns false when something could not be removed.
bool sEmptyTree(char* path, size_t length) {
    DIR* dir = ::opendir(path);
    if (!dir) return false;
    bool ok = true;
    while (ok) {
        const dirent* entry = ::readdir(dir);
        if (!entry) break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        const size_t nameLength = std::strlen(entry->d_name);
        if (length + 1 + nameLength >= sEntryPathSize) {
            ok = false;
            break;
        }
        path[length] = aDIR_PATH_SEP;
        std::memcpy(path + length + 1, entry->d_name, nameLength + 1);

        // lstat: a link to a directory is removed as a link, its target is left alone.
        struct stat st;
        if (::lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            ok = sEmptyTree(path, length + 1 + nameLength) && ::rmdir(path) == 0;
        } else if (::unlink(path) != 0) {
            std::perror("aDirectory_DeleteTree");
            std::printf("---error unlink-ing file [%s]\n", path);
            ok = false;
        }
        path[length] = '\0';
    }
    ::closedir(dir);
    return ok;
}

} // namespace

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrParam;
    if (sTooLong(path)) return aErrFileNameLength;
    DIR* dir = ::opendir(path);
    if (!dir) return aErrNotFound;
    ::closedir(dir);

    char* buffer = static_cast<char*>(std::malloc(sEntryPathSize));
    if (!buffer) return aErrMemory;
    const size_t length = std::strlen(path);
    std::memcpy(buffer, path, length + 1);
    (void)sEmptyTree(buffer, length); // whatever is left makes the final rmdir fail
    std::free(buffer);
    return ::rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, unsigned long size) {
    if (!buffer || size == 0) return aErrParam;
    if (!::getcwd(buffer, size)) {
        buffer[0] = '\0';
        return aErrParam;
    }
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, unsigned long size) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    const ssize_t n = ::readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) return aErrRead;
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, unsigned long size) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';

    const char* home = nullptr;
    char record[4096];
    passwd entry;
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, record, sizeof(record), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] != '\0')
        home = found->pw_dir;
    else
        home = std::getenv("HOME");
    if (!home || home[0] == '\0') return aErrNotFound;

    const size_t length = std::strlen(home);
    if (length >= size) return aErrOverrun; // a cut-off home directory would name some other folder
    std::memcpy(buffer, home, length + 1);
    return aErrNone;
}

namespace {

aErr sBuildPath(char* buffer, unsigned long size, const char* const* parts, int count) {
    size_t length = std::strlen(parts[0]);
    if (length + 1 >= size) return aErrOverrun;
    std::memcpy(buffer, parts[0], length + 1);

    for (int i = 1; i < count; ++i) {
        const char* part = parts[i];
        size_t left = size - length - 1;
        if (left > 1 && length > 0 && buffer[length - 1] != aDIR_PATH_SEP &&
            part[0] != aDIR_PATH_SEP) {
            buffer[length++] = aDIR_PATH_SEP;
            buffer[length] = '\0';
            --left;
        }
        const size_t partLength = std::strlen(part);
        if (partLength >= left) return aErrOverrun;
        std::memcpy(buffer + length, part, partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

} // namespace

aErr aDirectory_BuildPath(char* buffer, unsigned long size, const char* first, ...) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    if (!first) return aErrParam;

    // Collect the parts first: too many of them, or the buffer doubling as a part, must be
    // refused before anything is written.
    const char* parts[aDIRECTORY_MAX_PARTS];
    int count = 0;
    bool tooMany = false;
    va_list args;
    va_start(args, first);
    for (const char* part = first; part; part = va_arg(args, const char*)) {
        if (count == aDIRECTORY_MAX_PARTS) {
            tooMany = true;
            break;
        }
        parts[count++] = part;
    }
    va_end(args);
    if (tooMany) return aErrParam;
    for (int i = 0; i < count; ++i) {
        if (parts[i] == buffer) return aErrParam;
    }
    return sBuildPath(buffer, size, parts, count);
}

aErr aDirectory_JoinPath(char* buffer, unsigned long size, const char* directory,
                         const char* name) {
    if (!buffer || size == 0) return aErrParam;
    buffer[0] = '\0';
    if (!directory || !name) return aErrParam;
    return aDirectory_BuildPath(buffer, size, directory, name, nullptr);
}
