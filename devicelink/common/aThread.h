// Threads: a thin wrapper over the operating system's.
#ifndef KORVEL_ATHREAD_H
#define KORVEL_ATHREAD_H

#include "aError.h"

struct aThread;
typedef aThread* aThreadRef;

// The thread's body; it ends when this returns.
typedef void (*aThreadEntry)(void* arg);

// Starts a thread running entry(arg). Returns its handle, or null when the system refuses or
// memory is short. The caller owns the handle and must hand it to aThread_Destroy.
aThreadRef aThread_Create(aThreadEntry entry, void* arg);

// Waits for the thread to end (join), frees the handle and sets *thread to null.
// aErrParam: null argument or handle (the variable is cleared); aErrDuplicate: a thread joining
// itself (the handle is still freed, the thread detached); aErrUnknown: any other join failure.
aErr aThread_Destroy(aThreadRef* thread);

// Gives up the processor briefly (sleeps 5 microseconds).
void aThread_Yield();

#endif
