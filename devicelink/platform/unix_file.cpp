// POSIX implementation of the checked file handles (aFile.h).
#include "aFile.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The direction of the last transfer on an update stream ("ab+"): the C library requires a
// positioning call between output and input on the same stream.
enum sDirection : uint32_t { sDirectionNone, sDirectionRead, sDirectionWrite };

} // namespace

struct aFileRecord {
    FILE* stream;
    uint32_t mode;
    uint32_t check;
    uint32_t direction;
};

namespace {

bool sPathOk(const char* path) {
    return path != nullptr && strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool sCanRead(const aFileRecord* file) {
    return file->mode == aFileModeRead || file->mode == aFileModeAppend;
}

bool sCanWrite(const aFileRecord* file) {
    return file->mode == aFileModeWrite || file->mode == aFileModeAppend;
}

// Makes the stream ready for a transfer in the given direction.
void sTurn(aFileRecord* file, sDirection direction) {
    if (file->mode == aFileModeAppend && file->direction != sDirectionNone &&
        file->direction != direction)
        (void)std::fseek(file->stream, 0, SEEK_CUR);
    file->direction = direction;
}

} // namespace

bool aVALIDFILE(aFileRef file) {
    return file != nullptr && file->check == aFILE_CHECK;
}

bool aFile_Exists(const char* path) {
    if (!sPathOk(path)) return false;
    struct stat st;
    return ::stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, uint32_t mode) {
    if (!sPathOk(path) || path[0] == '\0') return nullptr;
    const char* how = nullptr;
    switch (mode) {
        case aFileModeRead:
            how = "rb";
            break;
        case aFileModeWrite:
            how = "wb";
            break;
        case aFileModeAppend:
            how = "ab+";
            break;
        default:
            return nullptr;
    }
    auto* file = static_cast<aFileRecord*>(std::calloc(1, sizeof(aFileRecord)));
    if (!file) return nullptr;
    file->stream = std::fopen(path, how);
    if (!file->stream) {
        std::free(file);
        return nullptr;
    }
    if (mode == aFileModeAppend) (void)std::fseek(file->stream, 0, SEEK_END);
    file->mode = mode;
    file->check = aFILE_CHECK;
    file->direction = sDirectionNone;
    return file;
}

aErr aFile_Close(aFileRef* ref) {
    if (!ref) return aErrParam;
    aFileRecord* file = *ref;
    *ref = nullptr;
    if (!aVALIDFILE(file)) return aErrParam;
    const int closed = std::fclose(file->stream);
    file->check = 0;
    file->stream = nullptr;
    std::free(file);
    return closed == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, void* buffer, unsigned long length, unsigned long* count) {
    if (count) *count = 0;
    if (!aVALIDFILE(file) || !buffer) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    sTurn(file, sDirectionRead);
    const size_t n = std::fread(buffer, 1, length, file->stream);
    if (count) *count = n;
    if (n == 0 && length != 0) return std::ferror(file->stream) ? aErrIO : aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, unsigned long length, unsigned long* count) {
    if (count) *count = 0;
    if (!aVALIDFILE(file) || !data) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    sTurn(file, sDirectionWrite);
    const size_t n = std::fwrite(data, 1, length, file->stream);
    if (count) *count = n;
    return (n == 0 && length != 0) ? aErrIO : aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, unsigned long size, unsigned long* length) {
    if (length) *length = 0;
    if (buffer && size) buffer[0] = '\0';
    if (!aVALIDFILE(file) || !buffer || size == 0) return aErrParam;
    if (!sCanRead(file)) return aErrMode;
    sTurn(file, sDirectionRead);

    unsigned long n = 0;
    bool newline = false;
    while (n + 1 < size) {
        const int c = std::getc(file->stream);
        if (c == EOF) break;
        buffer[n++] = static_cast<char>(c);
        if (c == '\n') {
            newline = true;
            break;
        }
    }
    buffer[n] = '\0';
    if (length) *length = n;
    if (std::ferror(file->stream)) return aErrIO;
    if (newline) return aErrNone;
    if (n + 1 == size) {
        // The buffer is full: the line goes on unless the file ends right here.
        const int next = std::getc(file->stream);
        if (next == EOF) return std::ferror(file->stream) ? aErrIO : (n ? aErrNone : aErrEOF);
        (void)std::ungetc(next, file->stream);
        return aErrOverrun;
    }
    return n ? aErrNone : aErrEOF;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
    if (!aVALIDFILE(file) || !format) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    sTurn(file, sDirectionWrite);
    va_list args;
    va_start(args, format);
    const int n = std::vfprintf(file->stream, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}

namespace {

aErr sSize(aFileRecord* file, long* size) {
    const long here = std::ftell(file->stream);
    if (here < 0 || std::fseek(file->stream, 0, SEEK_END) != 0) return aErrIO;
    const long end = std::ftell(file->stream);
    if (std::fseek(file->stream, here, SEEK_SET) != 0 || end < 0) return aErrIO;
    *size = end;
    return aErrNone;
}

} // namespace

aErr aFile_Seek(aFileRef file, long offset, int origin) {
    if (!aVALIDFILE(file) || origin < 0 || origin > 2) return aErrParam;
    long size = 0;
    if (sSize(file, &size) != aErrNone) return aErrIO;
    long base = 0;
    if (origin == 1) {
        base = std::ftell(file->stream);
        if (base < 0) return aErrIO;
    } else if (origin == 2) {
        base = size;
    }
    long target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size)
        return aErrRange;
    if (std::fseek(file->stream, target, SEEK_SET) != 0) return aErrIO;
    file->direction = sDirectionNone;
    return aErrNone;
}

aErr aFile_GetSize(aFileRef file, unsigned long* size) {
    if (size) *size = 0;
    if (!aVALIDFILE(file) || !size) return aErrParam;
    long end = 0;
    if (sSize(file, &end) != aErrNone) return aErrIO;
    file->direction = sDirectionNone;
    *size = static_cast<unsigned long>(end);
    return aErrNone;
}

aErr aFile_GetPosition(aFileRef file, long* position) {
    if (position) *position = 0;
    if (!aVALIDFILE(file) || !position) return aErrParam;
    const long here = std::ftell(file->stream);
    if (here < 0) return aErrIO;
    *position = here;
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
    if (!aVALIDFILE(file)) return aErrParam;
    if (!sCanWrite(file)) return aErrMode;
    // Whatever is buffered goes out first so that switching loses nothing.
    if (std::fflush(file->stream) != 0 || std::setvbuf(file->stream, nullptr, _IONBF, 0) != 0)
        return aErrMode;
    return aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (!sPathOk(path)) return aErrFileNameLength;
    if (::unlink(path) == 0) return aErrNone;
    switch (errno) {
        case ENOENT:
        case ENOTDIR:
            return aErrNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return aErrPermission;
        default:
            return aErrIO;
    }
}
