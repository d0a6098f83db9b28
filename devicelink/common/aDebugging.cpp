#include "aDebugging.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

std::atomic<uint8_t> aKorvelDebuggingEnable{0};
std::atomic<uint32_t> aKorvelDebuggingLevel{0};

void aDebugging_Trace(uint32_t bit, const char* function, const char* format, ...) {
    if (!aDebugging_On(bit) || format == nullptr)
        return;
    char text[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '\n')
        text[--length] = '\0';
    // One call per line so that lines of different threads do not interleave.
    printf("%s: %s\n", function ? function : "", text);
    fflush(stdout);
}
