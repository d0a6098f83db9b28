#include "aStream.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint16_t sStreamCheck = 0x4321;
constexpr uint32_t sPushBackStep = 512;

} // namespace

struct aStream {
    uint16_t check;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* ref;
    // Push-back ring: bytes taken from the transport and handed back, oldest at readIndex.
    uint8_t* storage;
    uint32_t count;
    uint32_t capacity;
    uint32_t readIndex;
    uint32_t writeIndex;
};

namespace {

bool aVALIDSTREAM(const aStream* s) { return s != nullptr && s->check == sStreamCheck; }

bool sTakeBack(aStream* s, uint8_t* byte) {
    if (s->count == 0)
        return false;
    *byte = s->storage[s->readIndex];
    s->readIndex = (s->readIndex + 1) % s->capacity;
    s->count--;
    return true;
}

aErr sHandBack(aStream* s, uint8_t byte) {
    if (s->storage == nullptr) {
        s->storage = static_cast<uint8_t*>(malloc(sPushBackStep));
        if (s->storage == nullptr)
            return aErrMemory;
        s->capacity = sPushBackStep;
        s->count = s->readIndex = s->writeIndex = 0;
    } else if (s->count >= s->capacity - 1) {
        uint32_t newCapacity = s->capacity + sPushBackStep;
        uint8_t* grown = static_cast<uint8_t*>(malloc(newCapacity));
        if (grown == nullptr)
            return aErrMemory;
        // Oldest first: the run from the read index to the end, then the wrapped part.
        uint32_t tail = s->capacity - s->readIndex;
        if (tail >= s->count) {
            memcpy(grown, s->storage + s->readIndex, s->count);
        } else {
            memcpy(grown, s->storage + s->readIndex, tail);
            memcpy(grown + tail, s->storage, s->count - tail);
        }
        free(s->storage);
        s->storage = grown;
        s->capacity = newCapacity;
        s->readIndex = 0;
        s->writeIndex = s->count;
    }
    s->storage[s->writeIndex] = byte;
    s->writeIndex = (s->writeIndex + 1) % s->capacity;
    s->count++;
    return aErrNone;
}

// Puts a byte in front of everything the ring holds: it is the next one taken.
aErr sHandBackFront(aStream* s, uint8_t byte) {
    aErr e = sHandBack(s, byte); // allocates or grows as needed; the byte lands at the tail
    if (e != aErrNone)
        return e;
    // Move it from the tail to the head.
    s->writeIndex = (s->writeIndex + s->capacity - 1) % s->capacity;
    s->readIndex = (s->readIndex + s->capacity - 1) % s->capacity;
    s->storage[s->readIndex] = byte;
    return aErrNone;
}

// Hands bytes back so that they are taken again before anything newer. Only valid while the
// ring holds nothing that was not read in this same call (true for every caller below: a read
// only reaches the transport once the ring is empty).
aErr sHandBackAll(aStream* s, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; i++) {
        aErr e = sHandBack(s, bytes[i]);
        if (e != aErrNone)
            return e;
    }
    return aErrNone;
}

aErr sReadOne(aStream* s, uint8_t* byte) {
    if (sTakeBack(s, byte))
        return aErrNone;
    return s->get(byte, s->ref);
}

} // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref) {
    aStream* s = new (std::nothrow) aStream{};
    if (s == nullptr)
        return nullptr;
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->ref = ref;
    s->check = sStreamCheck;
    return s;
}

aErr aStream_Read(aStreamRef stream, uint8_t* dest, size_t count) {
    if (!aVALIDSTREAM(stream) || dest == nullptr)
        return aErrParam;
    if (stream->get == nullptr)
        return aErrMode;
    if (count == 0)
        return aErrNone;
    uint8_t single;
    uint8_t* scratch = &single;
    if (count > 1) {
        scratch = static_cast<uint8_t*>(malloc(count));
        if (scratch == nullptr)
            return aErrResource;
    }
    aErr result = aErrNone;
    size_t got = 0;
    while (got < count) {
        result = sReadOne(stream, &scratch[got]);
        if (result != aErrNone)
            break;
        got++;
    }
    if (result == aErrNotReady) {
        aErr kept = sHandBackAll(stream, scratch, got);
        if (kept != aErrNone)
            result = kept;
    } else if (result == aErrNone || result == aErrEOF) {
        memcpy(dest, scratch, got);
    }
    if (scratch != &single)
        free(scratch);
    return result;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t count) {
    if (!aVALIDSTREAM(stream) || bytes == nullptr)
        return aErrParam;
    if (stream->put == nullptr && stream->write == nullptr)
        return aErrMode;
    if (stream->write != nullptr && count > 1)
        return stream->write(bytes, count, stream->ref);
    if (stream->put == nullptr)
        return count == 0 ? aErrNone : stream->write(bytes, count, stream->ref);
    for (size_t i = 0; i < count; i++) {
        aErr e = stream->put(bytes[i], stream->ref);
        if (e != aErrNone)
            return e;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* dest, size_t* length, size_t maxLength,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (length != nullptr)
        *length = 0;
    if (!aVALIDSTREAM(stream) || dest == nullptr || terminator == nullptr || terminatorLength < 1)
        return aErrParam;
    if (stream->get == nullptr)
        return aErrMode;
    uint8_t* stored = static_cast<uint8_t*>(malloc(maxLength > 0 ? maxLength : 1));
    // The terminator bytes matched so far, in case the match breaks off or the read runs dry.
    uint8_t* matched = static_cast<uint8_t*>(malloc(terminatorLength));
    if (stored == nullptr || matched == nullptr) {
        free(stored);
        free(matched);
        return aErrResource;
    }
    size_t storedCount = 0;
    size_t matchCount = 0;
    aErr result = aErrNone;
    for (;;) {
        if (storedCount >= maxLength)
            break;
        uint8_t byte;
        result = sReadOne(stream, &byte);
        if (result == aErrNotReady) {
            // Everything consumed in this call goes back, in order, for the retry.
            aErr kept = sHandBackAll(stream, stored, storedCount);
            if (kept == aErrNone)
                kept = sHandBackAll(stream, matched, matchCount);
            if (kept != aErrNone)
                result = kept;
            break;
        }
        if (result == aErrEOF) {
            // A partial terminator at the very end is data, not a terminator.
            size_t i = 0;
            for (; i < matchCount && storedCount < maxLength; i++)
                stored[storedCount++] = matched[i];
            aErr kept = aErrNone;
            while (kept == aErrNone && matchCount > i)
                kept = sHandBackFront(stream, matched[--matchCount]);
            result = kept != aErrNone ? kept : storedCount > 0 ? aErrNone : aErrEOF;
            break;
        }
        if (result != aErrNone)
            break;
        if (byte == terminator[matchCount]) {
            matched[matchCount++] = byte;
            if (matchCount == terminatorLength)
                break;
            continue;
        }
        if (matchCount > 0) {
            // The match broke off: the bytes that looked like a terminator are record data.
            // Whatever does not fit goes back in front of the ring, for the next record.
            size_t i = 0;
            for (; i < matchCount && storedCount < maxLength; i++)
                stored[storedCount++] = matched[i];
            if (storedCount >= maxLength) {
                aErr kept = sHandBackFront(stream, byte);
                while (kept == aErrNone && matchCount > i)
                    kept = sHandBackFront(stream, matched[--matchCount]);
                if (kept != aErrNone)
                    result = kept;
                matchCount = 0;
                break;
            }
            matchCount = 0;
            if (byte == terminator[0]) {
                matched[matchCount++] = byte;
                if (matchCount == terminatorLength)
                    break;
                continue;
            }
        }
        stored[storedCount++] = byte;
    }
    if (result == aErrNone || result == aErrEOF) {
        memcpy(dest, stored, storedCount);
        if (length != nullptr)
            *length = storedCount;
    }
    free(stored);
    free(matched);
    return result;
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* record, size_t recordLength,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || (record == nullptr && recordLength > 0) ||
        (terminator == nullptr && terminatorLength > 0))
        return aErrParam;
    if (recordLength > 0) {
        aErr e = aStream_Write(stream, record, recordLength);
        if (e != aErrNone)
            return e;
    }
    if (terminatorLength > 0)
        return aStream_Write(stream, terminator, terminatorLength);
    return aErrNone;
}

aErr aStream_ReadCString(aStreamRef stream, char* dest, size_t size) {
    return aStream_ReadCStringRecord(stream, dest, size, "");
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
    if (text == nullptr)
        return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* dest, size_t size, const char* terminator) {
    if (dest == nullptr || size == 0 || terminator == nullptr)
        return aErrParam;
    // An empty terminator text stands for the zero byte itself.
    static const uint8_t zero = 0;
    size_t terminatorLength = strlen(terminator);
    const uint8_t* term = terminatorLength > 0 ? reinterpret_cast<const uint8_t*>(terminator) : &zero;
    if (terminatorLength == 0)
        terminatorLength = 1;
    size_t length = 0;
    aErr e = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(dest), &length, size - 1, term,
                                terminatorLength);
    if (e == aErrNone)
        dest[length] = '\0';
    return e;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminator) {
    if (text == nullptr || terminator == nullptr)
        return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(terminator), strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination) {
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination))
        return aErrParam;
    if (source->get == nullptr || destination->put == nullptr)
        return aErrMode;
    for (;;) {
        uint8_t byte;
        aErr e = source->get(&byte, source->ref);
        if (e == aErrEOF)
            return aErrNone;
        if (e != aErrNone)
            return e;
        e = destination->put(byte, destination->ref);
        if (e != aErrNone)
            return e;
    }
}

aErr aStream_Destroy(aStreamRef* stream) {
    if (stream == nullptr)
        return aErrParam;
    aStream* s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s))
        return aErrParam;
    aErr result = aErrNone;
    if (s->del != nullptr)
        result = s->del(s->ref);
    free(s->storage);
    s->check = 0;
    delete s;
    return result;
}
