#include "CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// One spinner position for the whole process: consecutive spinners continue the animation.
unsigned sSpinnerCounter = 0;

const char* const sSpinnerFrames[8] = {".", "..", "...", "....", ".....", "....", "...", ".."};

const char sBar[] = "=====================================================================";
constexpr int sBarLength = sizeof(sBar) - 1;
static_assert(sBarLength == 69, "the progress bar is 69 characters wide");

bool sOnTerminal() { return isatty(STDOUT_FILENO) == 1; }

// Writes the whole line at once so that a concurrent log line cannot split it.
void sWriteLine(FILE* stream, const char* text) {
    size_t n = strlen(text);
    char line[2049];
    if (n > sizeof(line) - 2) n = sizeof(line) - 2;
    memcpy(line, text, n);
    line[n] = '\n';
    fwrite(line, 1, n + 1, stream);
}

} // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::eraseLine() { fprintf(stdout, "\r%*s\r", 88, " "); }

void CLI_Display::display_progress(bool on) {
    if (!sOnTerminal()) return;
    if (!on) eraseLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!sOnTerminal()) return;
    int width = sBarLength;
    if (label != nullptr) width = sBarLength - static_cast<int>(strnlen(label, 65)) - 4;
    if (width < 1) width = 1;
    if (fraction < 0.0) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int filled = static_cast<int>(width * fraction);
    int percent = static_cast<int>(fraction * 100);
    // At 1.0 the pad width is -1, which left-justifies the empty text in one column.
    if (label == nullptr)
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, sBar, width - filled - 1, "", percent);
    else
        fprintf(stdout, "\r (%.65s) [%.*s>%*s] (%3d%% ) ", label, filled, sBar,
                width - filled - 1, "", percent);
}

void CLI_Display::update_spinner(bool on, const char* label) {
    if (!sOnTerminal()) return;
    if (!on) {
        eraseLine();
        return;
    }
    const char* frame = sSpinnerFrames[sSpinnerCounter];
    if (label == nullptr)
        fprintf(stdout, "\r %s      \r", frame);
    else
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    sSpinnerCounter = (sSpinnerCounter + 1) % 8;
}

void CLI_Display::info_message(const char* text) { sWriteLine(stdout, text ? text : ""); }

void CLI_Display::error_message(const char* text) { sWriteLine(stderr, text ? text : ""); }
