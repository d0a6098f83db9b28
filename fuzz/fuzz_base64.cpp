// Base64 decoding of arbitrary text: never reads past the text, and whatever it accepts
// encodes back to text of the same length.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly size bytes, so that a read past the end is caught.
    char* text = static_cast<char*>(malloc(size ? size : 1));
    if (size) memcpy(text, data, size);
    unsigned long n = 0;
    unsigned char* bytes = base64_decode(text, size, &n);
    if (bytes != nullptr) {
        unsigned long m = 0;
        char* again = base64_encode(reinterpret_cast<char*>(bytes), n, &m);
        // Padding bits decode as if they were zero, so only the length must come back.
        if (again == nullptr || m != size) abort();
        free(again);
        free(bytes);
    }
    free(text);
    return 0;
}
