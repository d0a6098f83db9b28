#include "aMutex.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME + 1];
};

aMutexRef aMutex_Create(const char* name) {
    if (name != nullptr && strnlen(name, aMUTEX_MAX_NAME + 1) > aMUTEX_MAX_NAME)
        return nullptr;
    aMutex* m = new (std::nothrow) aMutex{};
    if (m == nullptr)
        return nullptr;
    if (pthread_mutex_init(&m->mutex, nullptr) != 0) {
        delete m;
        return nullptr;
    }
    if (name != nullptr)
        strcpy(m->name, name);
    return m;
}

const char* aMutex_Identifier(aMutexRef mutex) { return mutex != nullptr ? mutex->name : ""; }

aErr aMutex_Destroy(aMutexRef* mutex) {
    if (mutex == nullptr || *mutex == nullptr)
        return aErrParam;
    aMutex* m = *mutex;
    *mutex = nullptr;
    int rc = pthread_mutex_destroy(&m->mutex);
    delete m;
    switch (rc) {
    case 0: return aErrNone;
    case EAGAIN: return aErrResource;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (mutex == nullptr)
        return aErrParam;
    switch (pthread_mutex_lock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EINVAL: return aErrParam;
    case EDEADLK: return aErrDuplicate;
    default: return aErrUnknown;
    }
}

aErr aMutex_TryLock(aMutexRef mutex) {
    if (mutex == nullptr)
        return aErrParam;
    switch (pthread_mutex_trylock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EBUSY: return aErrBusy;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (mutex == nullptr)
        return aErrParam;
    switch (pthread_mutex_unlock(&mutex->mutex)) {
    case 0: return aErrNone;
    case EPERM: return aErrPermission;
    case EINVAL: return aErrParam;
    default: return aErrUnknown;
    }
}
