#include "aThread.h"

#include <cerrno>
#include <new>
#include <pthread.h>
#include <time.h>

struct aThread {
    pthread_t thread;
    aThreadEntry entry;
    void* arg;
};

namespace {

void* sRun(void* arg) {
    aThread* t = static_cast<aThread*>(arg);
    t->entry(t->arg);
    return nullptr;
}

} // namespace

aThreadRef aThread_Create(aThreadEntry entry, void* arg) {
    if (entry == nullptr)
        return nullptr;
    aThread* t = new (std::nothrow) aThread{};
    if (t == nullptr)
        return nullptr;
    t->entry = entry;
    t->arg = arg;
    if (pthread_create(&t->thread, nullptr, sRun, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

aErr aThread_Destroy(aThreadRef* thread) {
    if (thread == nullptr || *thread == nullptr)
        return aErrParam;
    aThread* t = *thread;
    *thread = nullptr;
    if (pthread_equal(t->thread, pthread_self())) {
        // Joining itself would deadlock; let the thread's resources go when it ends. The
        // record is read by sRun only before entry() runs, so freeing it here is safe.
        pthread_detach(t->thread);
        delete t;
        return aErrDuplicate;
    }
    int rc = pthread_join(t->thread, nullptr);
    delete t;
    if (rc == 0)
        return aErrNone;
    return rc == EDEADLK ? aErrDuplicate : aErrUnknown;
}

void aThread_Yield() {
    struct timespec pause = {0, 5000};
    nanosleep(&pause, nullptr);
}
