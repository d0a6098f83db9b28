// The console display: messages to standard output and standard error, progress bar and
// spinner drawn only when standard output is a terminal.
#ifndef KORVEL_CLI_DISPLAY_H
#define KORVEL_CLI_DISPLAY_H

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Makes standard output and standard error unbuffered, so every message is one write.
    CLI_Display();

    void display_progress(bool on) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool on, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

private:
    static void eraseLine();
};

#endif
