// Directory operations, a directory walk with a callback, and path joining.
//
// No operation keeps state between calls; all may run on any thread (aDirectory_CWD reflects
// the process-wide working directory). Paths longer than aFILE_MAX_PATH are refused.
#ifndef KORVEL_ADIRECTORY_H
#define KORVEL_ADIRECTORY_H

#include "aError.h"
#include "aFile.h"

#include <cstddef>
#include <cstdint>

constexpr char aDIR_PATH_SEP = '/';
constexpr int aDIRECTORY_MAX_PARTS = 10; // parts aDirectory_BuildPath joins at most

// One entry of a directory walk. path is the walked directory, "/" and the entry name ("." and
// ".." included); it is valid only during the callback.
struct aDirectoryListData {
    const char* path;
    uint32_t size;        // bytes, truncated to 32 bits
    uint32_t isDirectory; // 1 for a directory, else 0
};

// Return false to stop the walk.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* reference);

// True when path names an existing directory; false for a null path.
bool aDirectory_Exists(const char* path);

// Makes the directory path and every missing parent, with the permission bits mode (before the
// umask). An existing directory is fine.
//   aErrParam           null or empty path
//   aErrFileNameLength  path longer than aFILE_MAX_PATH
//   aErrPermission      a directory could not be created (or a part of the path is a file)
aErr aDirectory_Ensure(const char* path, uint32_t mode);

// Calls callback for every entry of the directory whose status can be read, in the order the
// system returns them, until it returns false.
//   aErrParam           null path or callback
//   aErrFileNameLength  path longer than aFILE_MAX_PATH
//   aErrNotFound        the directory cannot be opened
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* reference);

// Removes an empty directory.
//   aErrParam    null path
//   aErrUnknown  it could not be removed
aErr aDirectory_Delete(const char* path);

// Removes the directory path with everything in it, depth first. Symbolic links are removed,
// never followed. An entry that cannot be removed stops the walk: the system error goes to
// standard error with the prefix "aDirectory_DeleteTree", the path to standard output.
//   aErrParam           null path
//   aErrFileNameLength  path longer than aFILE_MAX_PATH
//   aErrNotFound        the directory cannot be opened
//   aErrUnknown         path itself could not be removed at the end
aErr aDirectory_DeleteTree(const char* path);

// The current working directory, NUL-terminated.
//   aErrParam  null buffer, or the directory does not fit or cannot be read
aErr aDirectory_CWD(char* buffer, unsigned long size);

// The path of the running executable, truncated to size - 1 characters, NUL-terminated.
//   aErrParam  null buffer or size 0
//   aErrRead   the executable's link cannot be read
aErr aDirectory_ExecutableFilePath(char* buffer, unsigned long size);

// The current user's home directory from the password database, or the environment variable
// HOME when the user has no entry. buffer is empty on failure.
//   aErrParam     null buffer or size 0
//   aErrOverrun   the directory does not fit in size - 1 characters
//   aErrNotFound  neither the password database nor HOME names one
aErr aDirectory_GetHomeDirectory(char* buffer, unsigned long size);

// Joins first and further parts (at most aDIRECTORY_MAX_PARTS in all; the list ends with a null
// pointer) into buffer, putting "/" between two parts unless one of them already has it there.
// buffer is an empty string first and holds the parts joined so far on aErrOverrun.
//   aErrParam    null buffer or first, size 0, buffer is one of the parts, or too many parts
//   aErrOverrun  the result would not leave a spare character in buffer
aErr aDirectory_BuildPath(char* buffer, unsigned long size, const char* first, ...)
    __attribute__((sentinel));

// aDirectory_BuildPath with the two parts directory and name (aErrParam when either is null).
aErr aDirectory_JoinPath(char* buffer, unsigned long size, const char* directory, const char* name);

#endif
