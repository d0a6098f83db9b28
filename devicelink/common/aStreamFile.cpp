// File transport of aStream: the transport record is the file handle itself.
#include "aFile.h"
#include "aStream.h"

namespace {

aErr sFileGet(uint8_t* byte, void* ref) {
    aFileRef file = static_cast<aFileRef>(ref);
    if (file == nullptr)
        return aErrIO;
    unsigned long count = 0;
    aErr e = aFile_Read(file, byte, 1, &count);
    if (e == aErrNone && count != 1)
        return aErrEOF;
    return e;
}

aErr sFileWrite(const uint8_t* bytes, size_t count, void* ref) {
    aFileRef file = static_cast<aFileRef>(ref);
    if (file == nullptr)
        return aErrIO;
    unsigned long written = 0;
    aErr e = aFile_Write(file, bytes, count, &written);
    if (e == aErrNone && written != count)
        return aErrIO;
    return e;
}

aErr sFilePut(uint8_t byte, void* ref) { return sFileWrite(&byte, 1, ref); }

aErr sFileDelete(void* ref) {
    aFileRef file = static_cast<aFileRef>(ref);
    if (file == nullptr)
        return aErrIO;
    return aFile_Close(&file);
}

aErr sCreate(const char* path, uint32_t mode, aStreamRef* stream) {
    if (stream == nullptr)
        return aErrResource;
    *stream = nullptr;
    if (path == nullptr)
        return aErrResource;
    aFileRef file = aFile_Open(path, mode);
    if (file == nullptr)
        return aErrResource;
    aStreamRef s = mode == aFileModeRead ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                                         : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (s == nullptr) {
        (void)aFile_Close(&file);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
    return sCreate(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
    return sCreate(path, aFileModeWrite, stream);
}
