// A background writer: a thread that calls one procedure again and again while it is enabled,
// handing it a log file opened for appending. The packet log uses it to copy a link's ring into
// a text file (aLink_PacketDebug_LogProc, aPacketDebug.h).
//
// The procedure must block or sleep when it has nothing to do: the thread does not pause by
// itself.
//
// Ownership: the caller owns the logger and frees it with aLogger_Destroy, which also closes
// the file.
//
// Threads: enable, disable and destroy may be called from any thread but the logger's own
// (from there, disable does nothing and destroy refuses); they are serialised.
#ifndef KORVEL_ALOGGER_H
#define KORVEL_ALOGGER_H

#include "aError.h"
#include "aFile.h"

#include <cstdint>

constexpr uint16_t aLOGGER_CHECK = 0xDEED;

// Called on the logger thread with the logger's file and its linkID.
typedef void (*aLoggerProc)(aFileRef file, uint32_t linkID);

struct aLogger;
typedef aLogger* aLoggerRef;

// Opens `path` for appending (created if missing, unbuffered writes) and returns a stopped
// logger. Null for a null proc, when the file cannot be opened or memory runs out.
aLoggerRef aLogger_Create(uint32_t linkID, aLoggerProc proc, const char* path);

// Starts the thread. aErrNone also when it already runs; aErrParam: invalid logger;
// aErrResource: the thread could not be started (the logger stays stopped).
aErr aLogger_Enable(aLoggerRef logger);

// Stops the thread and waits for it to end. aErrNone also when it is not running, or when
// called from the logger's own thread (it then does nothing); aErrParam: invalid logger;
// aErrUnknown: the wait failed.
aErr aLogger_Disable(aLoggerRef logger);

// Disables the logger, closes its file and, when the disable succeeded, frees it and clears
// *logger; returns the disable result. aErrNone for a null or invalid logger (nothing to do).
// aErrBusy from the logger's own thread: nothing is freed (the thread still runs on it).
aErr aLogger_Destroy(aLoggerRef* logger);

#endif
