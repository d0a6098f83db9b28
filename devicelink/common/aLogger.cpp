#include "aLogger.h"

#include "aThread.h"

#include <atomic>
#include <mutex>
#include <new>
#include <thread>

struct aLogger {
    uint16_t check = aLOGGER_CHECK;
    uint32_t linkID = 0;
    aLoggerProc proc = nullptr;
    aFileRef file = nullptr;
    aThreadRef thread = nullptr;
    std::atomic<std::thread::id> threadID{}; // the logger thread's, while it runs
    std::atomic<uint8_t> running{0};
    std::mutex control; // serialises enable, disable and destroy
};

namespace {

bool aVALIDLOGGER(const aLogger* logger) { return logger && logger->check == aLOGGER_CHECK; }

bool sOnLoggerThread(const aLogger* logger) {
    return logger->threadID.load() == std::this_thread::get_id();
}

void sLoggerThread(void* arg) {
    auto* logger = static_cast<aLogger*>(arg);
    logger->threadID.store(std::this_thread::get_id());
    while (logger->running.load(std::memory_order_acquire))
        logger->proc(logger->file, logger->linkID);
}

// Stops the thread; called with the control mutex held, never from the logger thread.
aErr sDisable(aLogger* logger) {
    if (!logger->running.load() && !logger->thread)
        return aErrNone;
    logger->running.store(0, std::memory_order_release);
    aErr joined = aThread_Destroy(&logger->thread);
    logger->threadID.store(std::thread::id());
    return joined == aErrNone ? aErrNone : aErrUnknown;
}

} // namespace

aLoggerRef aLogger_Create(uint32_t linkID, aLoggerProc proc, const char* path) {
    if (!proc)
        return nullptr;
    aFileRef file = aFile_Open(path, aFileModeAppend);
    if (!file)
        return nullptr;
    if (aFile_SetUnbuffered(file) != aErrNone) {
        (void)aFile_Close(&file);
        return nullptr;
    }
    auto* logger = new (std::nothrow) aLogger;
    if (!logger) {
        (void)aFile_Close(&file);
        return nullptr;
    }
    logger->linkID = linkID;
    logger->proc = proc;
    logger->file = file;
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (sOnLoggerThread(logger))
        return aErrNone; // it runs: the caller is its thread
    std::lock_guard<std::mutex> guard(logger->control);
    if (logger->running.load())
        return aErrNone;
    logger->running.store(1, std::memory_order_release);
    logger->thread = aThread_Create(sLoggerThread, logger);
    if (!logger->thread) {
        logger->running.store(0);
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!aVALIDLOGGER(logger))
        return aErrParam;
    if (sOnLoggerThread(logger))
        return aErrNone;
    std::lock_guard<std::mutex> guard(logger->control);
    return sDisable(logger);
}

aErr aLogger_Destroy(aLoggerRef* logger) {
    if (!logger || !aVALIDLOGGER(*logger))
        return aErrNone;
    aLogger* l = *logger;
    if (sOnLoggerThread(l))
        return aErrBusy;
    aErr result;
    {
        std::lock_guard<std::mutex> guard(l->control);
        result = sDisable(l);
        if (l->file)
            (void)aFile_Close(&l->file);
    }
    if (result == aErrNone) {
        l->check = 0;
        delete l;
        *logger = nullptr;
    }
    return result;
}
