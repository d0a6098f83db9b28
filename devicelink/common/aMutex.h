// Named mutexes: a thin wrapper over the operating system's (default attributes, not recursive).
//
// Threads: lock, try-lock and unlock may be called from any thread; destroy only when no thread
// holds or waits for the mutex. Locking twice from one thread reports aErrDuplicate where the
// system detects it, and may otherwise deadlock.
#ifndef KORVEL_AMUTEX_H
#define KORVEL_AMUTEX_H

#include "aError.h"

struct aMutex;
typedef aMutex* aMutexRef;

// Longest name a mutex accepts (characters, without the terminating zero).
constexpr unsigned aMUTEX_MAX_NAME = 255;

// New unlocked mutex with a name (null: empty name). Returns null when memory is short, the
// name has more than 255 characters, or the system refuses. Caller owns the result.
aMutexRef aMutex_Create(const char* name);

// The name given at creation ("" for none or a null mutex). Valid while the mutex lives.
const char* aMutex_Identifier(aMutexRef mutex);

// Destroys the mutex, frees the record and sets *mutex to null in every case.
// aErrParam: null argument or mutex (EINVAL too); aErrBusy: locked; aErrResource (EAGAIN);
// aErrUnknown otherwise.
aErr aMutex_Destroy(aMutexRef* mutex);

// Blocks until the mutex is held. aErrParam: null or invalid; aErrDuplicate: this thread holds it.
aErr aMutex_Lock(aMutexRef mutex);

// Takes the mutex without waiting. aErrBusy: held by someone; aErrParam: null or invalid.
aErr aMutex_TryLock(aMutexRef mutex);

// Releases the mutex. aErrPermission: not held by this thread; aErrParam: null or invalid.
aErr aMutex_Unlock(aMutexRef mutex);

#endif
