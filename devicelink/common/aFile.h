// Checked file handles over the system's buffered file streams.
//
// A handle comes from aFile_Open and goes back through aFile_Close, which also clears the
// caller's variable; every operation first checks the handle's check word (aVALIDFILE) and
// answers aErrParam when it fails, so a closed or forged handle is refused, never used.
// Outputs are cleared first. A handle may be used by one thread at a time; nothing is locked.
//
// Modes: aFileModeRead opens "rb" at the start (read, read line, seek, size, position);
// aFileModeWrite opens "wb", creating or truncating (write, printf, unbuffered, seek, size,
// position); aFileModeAppend opens "ab+", creating the file if missing, positioned at its end
// (all of the above; writes always go to the end).
//
// Paths longer than aFILE_MAX_PATH characters are refused.
#ifndef KORVEL_AFILE_H
#define KORVEL_AFILE_H

#include "aError.h"

#include <cstddef>
#include <cstdint>

constexpr size_t aFILE_MAX_PATH = 4096;
constexpr uint32_t aFILE_CHECK = 0xFEED;

enum aFileMode : uint32_t {
    aFileModeRead = 0,
    aFileModeWrite = 1,
    aFileModeAppend = 2,
};

struct aFileRecord;
typedef aFileRecord* aFileRef;

// True when file is not null and carries the open handle's check word.
bool aVALIDFILE(aFileRef file);

// True when path names an existing entry that is not a directory; false for a null or overlong
// path.
bool aFile_Exists(const char* path);

// A new handle, or null for a null, empty or overlong path, a mode other than the three above,
// no memory, or when the system cannot open the file. Caller owns the handle.
aFileRef aFile_Open(const char* path, uint32_t mode);

// Closes the stream (flushing it) and frees the handle. *file is set to null whenever file is
// not null, so closing twice is harmless.
//   aErrParam  file or *file null, or *file is not an open handle
//   aErrIO     flushing buffered data failed (the handle is released all the same)
aErr aFile_Close(aFileRef* file);

// Reads up to length bytes into buffer; *count (when count is not null) gets the number read.
// A short read is not an error.
//   aErrParam  bad handle or null buffer
//   aErrMode   handle not opened for reading (read or append mode)
//   aErrEOF    nothing read although length was not 0, at the end of the file
//   aErrIO     nothing read because of a read error
aErr aFile_Read(aFileRef file, void* buffer, unsigned long length, unsigned long* count);

// Writes length bytes of data; *count (when not null) gets the number written.
//   aErrParam  bad handle or null data
//   aErrMode   handle not opened for writing (write or append mode)
//   aErrIO     nothing written although length was not 0
aErr aFile_Write(aFileRef file, const void* data, unsigned long length, unsigned long* count);

// Reads one line including its newline, at most size - 1 characters, NUL-terminated, and
// stores its length in *length (when not null). *length is 0 and the buffer empty first.
//   aErrParam    bad handle, null buffer or size 0
//   aErrMode     handle not opened for reading
//   aErrEOF      nothing left to read
//   aErrIO       read error
//   aErrOverrun  the line is longer than the buffer: the buffer holds the part that fit and
//                the next call goes on with the rest of the line
aErr aFile_ReadLine(aFileRef file, char* buffer, unsigned long size, unsigned long* length);

// Formatted write.
//   aErrParam  bad handle or null format
//   aErrMode   handle not opened for writing
//   aErrIO     the formatted write failed
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Moves to origin + offset; origin 0 is the start, 1 the current position, 2 the end.
//   aErrParam  bad handle or unknown origin
//   aErrRange  the target lies before the start or past the end of the file
//   aErrIO     the system could not seek
aErr aFile_Seek(aFileRef file, long offset, int origin);

// The size of the file in bytes; the position is kept.
//   aErrParam  bad handle or null size
//   aErrIO     the size could not be found (*size is 0)
aErr aFile_GetSize(aFileRef file, unsigned long* size);

// The current position in bytes from the start.
//   aErrParam  bad handle or null position
//   aErrIO     the position could not be read (*position is 0)
aErr aFile_GetPosition(aFileRef file, long* position);

// Switches output to unbuffered, so every write reaches the system at once.
//   aErrParam  bad handle
//   aErrMode   handle not opened for writing, or the stream could not be switched
aErr aFile_SetUnbuffered(aFileRef file);

// Removes the file at path (never a directory).
//   aErrParam           null path
//   aErrFileNameLength  path longer than aFILE_MAX_PATH
//   aErrNotFound        no such file
//   aErrPermission      access denied
//   aErrIO              any other failure (a directory, for instance)
aErr aFile_Delete(const char* path);

#endif
