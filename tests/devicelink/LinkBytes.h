// Byte-level helpers for talking to the virtual module through a bare aStream.
#ifndef KORVEL_TEST_LINKBYTES_H
#define KORVEL_TEST_LINKBYTES_H

#include "aStream.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

// Polls `condition` every few milliseconds until it holds or the time is up.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Echo frames that together carry every byte value 0..255 once, addressed to `address`.
inline std::vector<uint8_t> echoFramesOfAllValues(uint8_t address) {
    std::vector<uint8_t> wire;
    for (int v = 0; v < 256;) {
        int n = 256 - v < 27 ? 256 - v : 27;
        wire.push_back(address);
        wire.push_back(static_cast<uint8_t>(n + 1));
        wire.push_back(23);
        for (int i = 0; i < n; i++)
            wire.push_back(static_cast<uint8_t>(v++));
    }
    return wire;
}

// Reads exactly `count` bytes, retrying aErrNotReady until the time is up. Returns the last
// result (aErrNone when all arrived).
inline aErr readFor(aStreamRef stream, std::vector<uint8_t>& into, size_t count, int timeoutMs) {
    into.assign(count, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    aErr e = aErrNotReady;
    while (e == aErrNotReady && std::chrono::steady_clock::now() < deadline)
        e = aStream_Read(stream, into.data(), count);
    return e;
}

// One-byte reads until one answers something other than aErrNotReady (at most `tries`).
inline aErr firstReadOtherThanNotReady(aStreamRef stream, int tries) {
    aErr e = aErrNotReady;
    for (int i = 0; i < tries && e == aErrNotReady; i++) {
        uint8_t b;
        e = aStream_Read(stream, &b, 1);
    }
    return e;
}

// Counts how many one-byte reads answer aErrNotReady within `windowMs` of a silent peer: a get
// that waits for data gives a handful, one that returns at once gives thousands.
inline int notReadyCallsWithin(aStreamRef stream, int windowMs) {
    int calls = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(windowMs);
    while (std::chrono::steady_clock::now() < end) {
        uint8_t b;
        if (aStream_Read(stream, &b, 1) != aErrNotReady)
            return -1;
        calls++;
    }
    return calls;
}

#endif
