#include "Log.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;
bool Log::timestamped = false;
const char* const Log::TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
const char* const Log::SEPARATOR = " | ";

void Log::log(unsigned package, const char* format, ...) {
    if (package != 0 && (package & package_bitmask) == 0) return;
    if (format == nullptr) return;

    // Short formats are continuation fragments of a line; only real lines get a time stamp.
    if (timestamped && strlen(format) > 10) {
        char stamp[128];
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        size_t n = strftime(stamp, sizeof(stamp), TIMESTAMP_FORMAT, &utc);
        fprintf(stdout, "%.*s%s", static_cast<int>(n), stamp, SEPARATOR);
    }

    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    if (fh != nullptr) fputs(text, fh);
}
