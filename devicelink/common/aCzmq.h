// Library-wide preparation of czmq.
//
// czmq's first use of its system layer installs SIGINT and SIGTERM handlers that only set a
// flag, so a process that has once discovered a server by beacon would no longer stop on
// Ctrl-C. Every library entry into czmq calls aCzmq_Prepare first, which keeps the process's
// own signal handling. Safe to call from any thread, any number of times.
#ifndef KORVEL_ACZMQ_H
#define KORVEL_ACZMQ_H

void aCzmq_Prepare();

#endif
