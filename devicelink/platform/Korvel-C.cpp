#include "Korvel-C.h"

#include <libusb.h>
#include <mutex>

namespace {

// Process-wide by design: libusb wants one context per process, and every USB user shares it.
std::mutex& sContextLock() {
    static std::mutex lock;
    return lock;
}
libusb_context* sContext = nullptr;

} // namespace

void Korvel_libusb_init() {
    std::lock_guard<std::mutex> hold(sContextLock());
    if (sContext != nullptr)
        return;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) == LIBUSB_SUCCESS)
        sContext = ctx;
}

libusb_context* Korvel_libusb_context() {
    std::lock_guard<std::mutex> hold(sContextLock());
    return sContext;
}

void Korvel_libusb_exit() {
    std::lock_guard<std::mutex> hold(sContextLock());
    if (sContext != nullptr)
        libusb_exit(sContext);
    sContext = nullptr;
}
