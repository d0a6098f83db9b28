#include "aCzmq.h"

#include <czmq.h>

#include <mutex>

void aCzmq_Prepare() {
    static std::once_flag once;
    std::call_once(once, [] { zsys_handler_set(nullptr); });
}
