// Byte streams: the one byte-oriented channel between the library and a transport.
//
// A stream is four transport operations (get, put, write, delete) around a private transport
// record, plus a push-back buffer that makes multi-byte and record reads restartable: a read
// that runs out of bytes hands what it took back, so the caller retries and sees the same bytes.
//
// Ownership: the stream owns its transport record (delete releases it). The caller owns the
// stream and releases it with aStream_Destroy, which clears the caller's variable.
//
// Threads: a stream holds no lock. One thread may read (get, push-back, record reads) while
// another writes (put, write); two readers or two writers at once are not allowed.
//
// Errors every operation may return: aErrParam for a null or destroyed stream (the check word
// is tested first) or a missing argument. aErrNotReady from a read means "no byte right now";
// nothing is lost and the caller retries.
#ifndef KORVEL_ASTREAM_H
#define KORVEL_ASTREAM_H

#include "aError.h"

#include <cstddef>
#include <cstdint>

struct aStream;
typedef aStream* aStreamRef;

// Transport operations. `ref` is the transport record given to aStream_Create.
// get: one byte into *byte; aErrNotReady when none is available, aErrEOF at the end.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
// put: one byte.
typedef aErr (*aStreamPutProc)(uint8_t byte, void* ref);
// write: a run of `count` bytes.
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t count, void* ref);
// delete: closes the transport and frees `ref`.
typedef aErr (*aStreamDeleteProc)(void* ref);

// ---- Core ---------------------------------------------------------------------------------

// New stream over a transport. Any operation may be null (get null: output-only; put and write
// null: input-only; a stream with write must also have put). Returns null when memory is short.
// On success the stream owns `ref`; on failure the caller still does.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref);

// Reads exactly `count` bytes into `dest`, or none of them.
//   aErrNone      all bytes read.
//   aErrNotReady  the transport ran dry first; the bytes taken so far are back in the push-back
//                 buffer, `dest` is untouched.
//   aErrEOF       end of input; the bytes read before it are in `dest` (may be fewer than count).
//   aErrMode      no get operation; aErrResource: no scratch memory.
//   other         the transport's error; bytes read in this call are lost.
aErr aStream_Read(aStreamRef stream, uint8_t* dest, size_t count);

// Writes `count` bytes: one write call when the stream has write and count > 1, otherwise put
// byte by byte up to the first failure (whose code is returned). aErrMode: neither present.
aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t count);

// Reads one record ending with the terminator (terminator bytes are consumed, not stored) or
// `maxLength` bytes, whichever comes first. *length (optional) gets the stored byte count.
//   aErrNone      record complete (also at end of input with at least one byte stored).
//   aErrNotReady  ran dry; the stored bytes are pushed back; retry later for the same record.
//   aErrEOF       end of input with nothing stored; *length is 0.
//   aErrParam     missing dest or terminator, terminator length 0; aErrResource: no memory.
// A terminator that matches only partly and then breaks off: the matched bytes are kept in the
// record (so no input byte is ever dropped).
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* dest, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength);

// Writes the record, then the terminator; stops at the first failure.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* record, size_t recordLength,
                         const uint8_t* terminator, size_t terminatorLength);

// Reads a zero-terminated string: at most size - 1 bytes, then stores a zero byte (only on
// aErrNone). Errors as aStream_ReadRecord; size 0 gives aErrParam.
aErr aStream_ReadCString(aStreamRef stream, char* dest, size_t size);

// Writes the text and one zero byte.
aErr aStream_WriteCString(aStreamRef stream, const char* text);

// Reads up to the terminator text (its bytes without the zero byte) and stores a zero-terminated
// string of at most size - 1 bytes. Errors as aStream_ReadRecord.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* dest, size_t size, const char* terminator);

// Writes the text, then the terminator text including its zero byte.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminator);

// Copies bytes from source's get (bypassing its push-back buffer) to destination's put until the
// source reports aErrEOF (result aErrNone) or another error (returned). aErrMode when the source
// has no get or the destination no put.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// Runs the delete operation, frees the stream and sets *stream to null. Returns the delete
// operation's result; aErrParam for an invalid stream (the variable is still cleared).
aErr aStream_Destroy(aStreamRef* stream);

// ---- Transports ---------------------------------------------------------------------------
// Each constructor sets *stream to null first and stores the new stream only on success.

// File opened for reading ("rb"): get, delete; get gives aErrEOF at the end.
// aErrResource for a missing argument, a file that cannot be opened, or no memory.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);

// File created or truncated for writing ("wb"): put, write, delete. Errors as above.
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);

// TCP client connection to an IPv4 address (network byte order, as given) and port (host order).
// Nagle off, linger 0 (a close drops the connection at once), non-blocking.
//   get waits up to about 100 ms for a byte, then gives aErrNotReady, so an idle reader sleeps
//   instead of spinning. A peer that closed also reads as aErrNotReady. A connection that drops
//   is reconnected once per failing get and inside the write loop.
//   write retries short sends (60 ms apart, up to 10 attempts); aErrWrite when bytes stay unsent.
// aErrResource when the connection cannot be made (nothing listening, no memory).
aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream);

// Serial port in raw mode. Baud index 0..7 = 2400, 4800, 9600, 19200, 38400, 57600, 115200,
// 230400. parity: even parity on. dataBits: 0 = 8 bits, 1 = 7 bits. stopBits: 0 = one, 1 = two.
// The port's previous settings are restored when the stream is destroyed.
//   get waits up to about 100 ms for a byte, then gives aErrNotReady; aErrIO on a read error.
//   write returns once the bytes are transmitted (tcdrain); aErrIO on a short write.
// aErrResource for a missing argument, a code above 1 or a baud index above 7, or no memory;
// opening: aErrNotFound (no such path), aErrPermission (not allowed), aErrIO (anything else).
aErr aStream_CreateSerial(const char* path, uint32_t baudIndex, bool parity, uint32_t dataBits,
                          uint32_t stopBits, aStreamRef* stream);

// USB module by its serial number: through the kernel driver's node when it exists, otherwise
// through libusb (see kvusb_driver.h for both paths).
//   get: one byte; a silent module gives aErrNotReady after at most 1000 ms. Isolated I/O errors
//   are absorbed (reported as aErrNotReady on reads, aErrNone on writes); the fifth in a row is
//   reported as aErrIO and every later call gives aErrIO until the stream is re-created.
//   aErrParam: serial 0 or no out-parameter. aErrNotFound: no such module. aErrConfiguration: no
//   link interface or endpoints. aErrBusy: claimed elsewhere. aErrPermission: no access.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

#endif
