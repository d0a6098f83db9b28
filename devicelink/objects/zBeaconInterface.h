// The process-wide lock over czmq's beacon interface.
//
// czmq keeps one network interface for all its beacons (zsys_set_interface). A beacon takes the
// interface when it is configured, so whoever sets the interface must keep others from changing
// it until its beacon is configured: the beacon searcher of discovery and the shared-device
// server both do that through these functions.
//
// Valid interface texts: a dotted IPv4 address, the empty text (czmq's default: the first
// interface) and "*" (all interfaces). Names such as "eth0" are refused.
//
// The lock is not recursive: a thread that holds it and asks for it again is refused (the
// lock-taking functions return false or null) instead of deadlocking. Unlocking from a thread
// that does not hold the lock does nothing.
//
// Threads: every function may be called from any thread. The texts returned are copies private
// to the calling thread, valid until that thread calls one of the get functions again.
#ifndef KORVEL_ZBEACONINTERFACE_H
#define KORVEL_ZBEACONINTERFACE_H

// For a valid text: takes the lock, makes `interface` czmq's beacon interface and returns true.
// Otherwise (invalid or null text, or this thread already holds the lock) returns false and
// changes nothing.
bool zBeaconInterface_setAndLock(const char* interface);

// Releases the lock (when this thread holds it).
void zBeaconInterface_unlock();

// As setAndLock, but first saves czmq's current beacon interface as the backup text.
bool zBeaconInterface_backupSetAndLock(const char* interface);

// Makes the backup text czmq's beacon interface again and releases the lock. Does nothing when
// this thread does not hold the lock.
void zBeaconInterface_restoreAndUnlock();

// czmq's current beacon interface. Without the lock the answer may be outdated at once.
const char* zBeaconInterface_get();

// Takes the lock, then returns czmq's current beacon interface (null when this thread already
// holds the lock).
const char* zBeaconInterface_getAndLock();

// The backup text ("" before the first backupSetAndLock).
const char* zBeaconInterface_getBackup();

// Takes the lock, then returns the backup text (null when this thread already holds the lock).
const char* zBeaconInterface_getBackupAndLock();

#endif
