#include "aError.h"

namespace {

struct ErrorText {
    const char* name;
    const char* description;
};

// Indexed by code; the static_assert below keeps it in step with the enumeration.
constexpr ErrorText sErrorTable[] = {
    {"aErrNone", "Success, no error"},
    {"aErrMemory", "Memory allocation"},
    {"aErrParam", "Invalid parameter"},
    {"aErrNotFound", "Not found"},
    {"aErrFileNameLength", "File name too long"},
    {"aErrBusy", "Resource busy"},
    {"aErrIO", "Input/Output error"},
    {"aErrMode", "Invalid Mode"},
    {"aErrWrite", "Write error"},
    {"aErrRead", "Read error"},
    {"aErrEOF", "End of file"},
    {"aErrNotReady", "Not ready, no bytes available"},
    {"aErrPermission", "Insufficient permissions"},
    {"aErrRange", "Value out of range"},
    {"aErrSize", "Invalid Size"},
    {"aErrOverrun", "Buffer/queue overrun"},
    {"aErrParse", "Parse error"},
    {"aErrConfiguration", "Configuration error"},
    {"aErrTimeout", "Timeout occurred"},
    {"aErrInitialization", "Initialization error"},
    {"aErrVersion", "Invalid version"},
    {"aErrUnimplemented", "Functionality unimplemented"},
    {"aErrDuplicate", "Duplicate request"},
    {"aErrCancel", "Cancellation occurred, or did not complete"},
    {"aErrPacket", "Packet byte invalid"},
    {"aErrConnection", "Connection error"},
    {"aErrIndexRange", "Index out of range"},
    {"aErrShortCommand", "Korvel command to short"},
    {"aErrInvalidEntity", "Invalid entity error"},
    {"aErrInvalidOption", "Invalid option code"},
    {"aErrResource", "Resource unavailable"},
    {"aErrMedia", "Media error"},
    {"aErrAsyncReturn", "Asynchronous return error"},
    {"aErrStreamStale", "Stream value is stale"},
    {"aErrUnknown", "Unknown error"},
};
static_assert(sizeof(sErrorTable) / sizeof(sErrorTable[0]) == aErrCount, "one text pair per code");
static_assert(aErrUnknown == aErrCount - 1, "aErrUnknown is the last code");

const ErrorText& sLookup(uint32_t err) {
    return sErrorTable[err < aErrCount ? err : aErrUnknown];
}

} // namespace

const char* aError_GetErrorText(uint32_t err) { return sLookup(err).name; }

const char* aError_GetErrorDescription(uint32_t err) { return sLookup(err).description; }
