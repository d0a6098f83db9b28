// The packet log: a per-link ring of the packets a link sent and received, and its text form.
//
// Records: a direction byte (aPACKETLOG_SENT, aPACKETLOG_RECEIVED, aPACKETLOG_NOTE), a length
// byte n and n bytes (for a packet: its address byte, its length byte and its data bytes). The
// ring never grows: a put that does not fit first drops the oldest records. It is never
// completely full, so that full and empty cannot be confused.
//
// Text form, one line per record: "%d %s " (the length, then ">" for a sent packet, "<" for
// anything else), then each byte as "0x%X " or, for a note, as the character itself (a zero byte
// as a zero byte), then "\r\n".
//
// Each link record of the engine embeds one aLinkPacketLog. The engine calls
// aLinkPacketLog_Record from its receive thread (every complete packet, before anything else
// happens to it) and its transmit thread (every packet written), and aLinkPacketLog_Release when
// the record is torn down; everything else goes through the aLink_PacketDebug_* functions. A
// reset of the link leaves the fields alone: the ring and what it recorded live on.
//
// Threads: puts and gets on a link's ring are serialised by its log lock ("LOG_SEMA_%p"), held
// only for one put or get, so the link threads are never held up for long. The ring functions
// on a bare aPacketLog take no lock: one thread at a time.
#ifndef KORVEL_APACKETDEBUG_H
#define KORVEL_APACKETDEBUG_H

#include "aError.h"
#include "aFile.h"
#include "aMutex.h"
#include "aPacket.h"

#include <atomic>
#include <cstdint>
#include <mutex>

constexpr uint8_t aPACKETLOG_SENT = 1;
constexpr uint8_t aPACKETLOG_RECEIVED = 2;
constexpr uint8_t aPACKETLOG_NOTE = 3;

constexpr uint32_t aPACKETLOG_DEFAULT_SIZE = 65536;
constexpr int32_t aPACKETLOG_MAX_SIZE = 0x4000000; // 64 MiB
constexpr uint32_t aPACKETLOG_MAX_RECORD = 255;    // one length byte

// ---- The ring -----------------------------------------------------------------------------

struct aPacketLog;

// New empty ring of `size` bytes (it holds records up to size - 3 bytes long). Null for a size
// of 0 or when memory runs out. Caller owns it.
aPacketLog* aPacketLog_Create(uint32_t size);

// Appends one record, dropping the oldest records until it fits.
//   aErrOverrun  length + 2 is not smaller than the ring's size: it can never fit (no change)
//   aErrSize     length above 255
//   aErrParam    invalid ring, or null bytes with a length above 0
aErr aPacketLog_Put(aPacketLog* ring, uint8_t direction, uint32_t length, const uint8_t* bytes);

// Takes the oldest record. On entry *length is the buffer's capacity, on return the record's
// length (also on aErrOverrun).
//   aErrNotFound  the ring is empty
//   aErrOverrun   the record is longer than the capacity; it stays in the ring
//   aErrParam     invalid ring or a null argument
aErr aPacketLog_Get(aPacketLog* ring, uint8_t* direction, uint32_t* length, uint8_t* buffer);

// Frees the ring and sets *ring to null; aErrNone also when there is none. aErrParam for a null
// `ring` or a record that is not a ring.
aErr aPacketLog_Destroy(aPacketLog** ring);

// ---- Text form ----------------------------------------------------------------------------

// Longest text line: "255 < " and 255 times "0x%X " (at most 5 characters) and "\r\n".
constexpr size_t aPACKETLOG_MAX_LINE = 6 + 255 * 5 + 2;

// Writes the line of one record into `line` (no terminating zero; zero bytes of a note stay) and
// its length into *lineLength. aErrParam: null arguments, length above 255 or a line buffer
// smaller than aPACKETLOG_MAX_LINE.
aErr aPacketDebug_FormatLine(uint8_t direction, uint32_t length, const uint8_t* bytes, char* line,
                             size_t size, size_t* lineLength);

// Appends the line of one record to the file. aErrParam as above or for an invalid file;
// otherwise the file layer's result.
aErr aPacketDebug_WriteLine(aFileRef file, uint8_t direction, uint32_t length,
                            const uint8_t* bytes);

// ---- The packet-log fields of a link record -----------------------------------------------

struct aLinkPacketLog {
    std::atomic<aPacketLog*> packetLog{nullptr}; // published after logLock exists
    uint32_t logSize = 0;                        // requested size of the next ring; 0: default
    aMutexRef logLock = nullptr;                 // "LOG_SEMA_%p" of this structure
    std::mutex setup;                            // serialises size, enable and release
};

// Records one packet (direction aPACKETLOG_SENT or aPACKETLOG_RECEIVED) when the link has a
// ring; does nothing otherwise. For the link's own threads.
void aLinkPacketLog_Record(aLinkPacketLog* log, uint8_t direction, const aPacket* packet);

// Frees the ring and the lock. Only when no other thread can use the fields any more: the
// engine calls it when the record itself goes (its last reference), not earlier, since a
// logger thread may be reading the ring until then.
void aLinkPacketLog_Release(aLinkPacketLog* log);

// The per-link operations on the fields themselves (the aLink_PacketDebug_* functions below
// find the link's fields and call these).
aErr aLinkPacketLog_SetLogSize(aLinkPacketLog* log, int32_t size);
aErr aLinkPacketLog_Enable(aLinkPacketLog* log);
aErr aLinkPacketLog_Disable(aLinkPacketLog* log);
aErr aLinkPacketLog_Read(aLinkPacketLog* log, uint8_t* direction, uint32_t* length,
                         uint8_t* buffer);
aErr aLinkPacketLog_Write(aLinkPacketLog* log, uint8_t direction, uint32_t length,
                          const uint8_t* bytes);

// Takes the oldest record of the link's ring and appends its line to the file. When there is
// nothing to write (empty ring, no ring) it sleeps 5 ms instead, which paces a logger thread.
// Its buffer holds the longest record, so a long note can never stall the log.
void aLinkPacketLog_WriteNext(aLinkPacketLog* log, aFileRef file);

// ---- Per link (every function: aErrParam for an unregistered link identifier) -------------

// Size of the ring the next enable makes. aErrParam: above 64 MiB; aErrBusy: the ring exists.
// A negative size is stored as 0 (the default, 65536 bytes).
aErr aLink_PacketDebug_SetLogSize(uint32_t link, int32_t size);

// Makes the ring (and its lock) when there is none; from then on both link threads record every
// packet until the link is destroyed. Enabling again is harmless. aErrResource: the ring or
// the lock could not be made.
aErr aLink_PacketDebug_Enable(uint32_t link);

// aErrNotReady without a ring, else aErrNone. Recording goes on: what stops is the writing to
// the file, which belongs to the logger (aLogger.h).
aErr aLink_PacketDebug_Disable(uint32_t link);

// aErrNotReady without a ring; otherwise aPacketLog_Get under the log lock.
aErr aLink_PacketDebug_Read(uint32_t link, uint8_t* direction, uint32_t* length,
                            uint8_t* buffer);

// aErrNotReady without a ring; otherwise aPacketLog_Put under the log lock. For notes
// (aPACKETLOG_NOTE); a note longer than 255 bytes is refused with aErrSize.
aErr aLink_PacketDebug_Write(uint32_t link, uint8_t direction, uint32_t length,
                             const uint8_t* bytes);

// The logger procedure of a link's packet log (aLoggerProc): aLinkPacketLog_WriteNext on the
// link's fields; sleeps 5 ms when the link is gone.
void aLink_PacketDebug_LogProc(aFileRef file, uint32_t link);

// ---- Provided by the link engine ----------------------------------------------------------

// Calls fn with the packet-log fields of the link while keeping its record alive, and returns
// fn's result; aErrParam (without calling fn) for an unregistered link.
typedef aErr (*aLinkPacketLogProc)(aLinkPacketLog* log, void* context);
aErr aLink_WithPacketLog(uint32_t link, aLinkPacketLogProc fn, void* context);

#endif
