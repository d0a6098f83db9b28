// The one libusb context of the process, shared by the USB transport and USB discovery.
#ifndef KORVEL_KORVEL_C_H
#define KORVEL_KORVEL_C_H

struct libusb_context;

// Creates the context when there is none yet (a failing libusb_init leaves none). Thread-safe.
void Korvel_libusb_init();

// The context, or null before the first successful init.
libusb_context* Korvel_libusb_context();

// Destroys the context and forgets it; the next init makes a new one. Only for a process that
// has closed every USB device (tests that replace the emulated bus between cases).
void Korvel_libusb_exit();

#endif
