// What the user is meant to read: messages, a progress bar and a spinner.
//
// The orchestration talks only to this interface, so another front end can replace the console.
// A display is a plain object owned by whoever made it and passed by reference; it has no
// virtual destructor on purpose (nothing deletes a display through this base).
#ifndef KORVEL_UPDATERDISPLAYINTERFACE_H
#define KORVEL_UPDATERDISPLAYINTERFACE_H

#include <cstdint>

class UpdaterDisplayInterface {
public:
    enum Level : int32_t { INFO = 0, ERROR = 1 };

    // Start (true) or end (false) a progress display.
    virtual void display_progress(bool on) = 0;
    // Progress as a fraction 0.0 to 1.0; label may be null (at most 65 characters).
    virtual void update_progress(double fraction, const char* label) = 0;
    // Advance the spinner one step (true) or remove it (false); label may be null.
    virtual void update_spinner(bool on, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats printf-style (cut to 2047 characters) and passes the text to error_message for
    // ERROR, to info_message for any other level. Prints nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Mutes message() only; progress and spinner still draw.
    void mute_messages(bool mute) { muted = mute; }

protected:
    UpdaterDisplayInterface() = default;
    ~UpdaterDisplayInterface() = default;

    bool muted = false;
};

#endif
