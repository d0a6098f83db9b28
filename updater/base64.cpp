#include "base64.h"

#include <cstdlib>

namespace {

const char sAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of one alphabet character, -1 for anything else ("=" included).
int sValue(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

} // namespace

unsigned char* base64_decode(const char* text, unsigned long length, unsigned long* outLength) {
    if (outLength != nullptr) *outLength = 0;
    if (text == nullptr || length == 0 || length % 4 != 0) return nullptr;

    unsigned long padding = 0;
    if (text[length - 1] == '=') {
        padding = 1;
        if (text[length - 2] == '=') padding = 2;
    }
    const unsigned long size = length / 4 * 3 - padding;
    auto* out = static_cast<unsigned char*>(malloc(size + 1));
    if (out == nullptr) return nullptr;

    unsigned long o = 0;
    for (unsigned long i = 0; i < length; i += 4) {
        unsigned long group = 0;
        for (unsigned long j = 0; j < 4; ++j) {
            const unsigned long at = i + j;
            int v = sValue(static_cast<unsigned char>(text[at]));
            if (v < 0) {
                // Padding counts as 0, and only in the places counted above.
                if (text[at] != '=' || at < length - padding) {
                    free(out);
                    return nullptr;
                }
                v = 0;
            }
            group = (group << 6) | static_cast<unsigned long>(v);
        }
        const unsigned char bytes[3] = {static_cast<unsigned char>(group >> 16),
                                        static_cast<unsigned char>(group >> 8),
                                        static_cast<unsigned char>(group)};
        for (unsigned long j = 0; j < 3 && o < size; ++j) out[o++] = bytes[j];
    }
    out[size] = 0;
    if (outLength != nullptr) *outLength = size;
    return out;
}

char* base64_encode(const char* data, unsigned long length, unsigned long* outLength) {
    if (outLength != nullptr) *outLength = 0;
    if (data == nullptr && length != 0) return nullptr;
    const unsigned long size = (length + 2) / 3 * 4;
    auto* out = static_cast<char*>(malloc(size + 1));
    if (out == nullptr) return nullptr;
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    unsigned long o = 0;
    for (unsigned long i = 0; i < length; i += 3) {
        const unsigned long left = length - i;
        unsigned long group = static_cast<unsigned long>(in[i]) << 16;
        if (left > 1) group |= static_cast<unsigned long>(in[i + 1]) << 8;
        if (left > 2) group |= in[i + 2];
        out[o++] = sAlphabet[(group >> 18) & 63];
        out[o++] = sAlphabet[(group >> 12) & 63];
        out[o++] = left > 1 ? sAlphabet[(group >> 6) & 63] : '=';
        out[o++] = left > 2 ? sAlphabet[group & 63] : '=';
    }
    out[o] = 0;
    if (outLength != nullptr) *outLength = size;
    return out;
}
