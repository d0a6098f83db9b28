// CLI_Display and Log: exact terminal output on a pseudo-terminal, nothing of it when stdout is
// not a terminal, message levels and the log package mask.
#include "CLI_Display.h"
#include "Log.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

// Points stdout (or stderr) at a raw pseudo-terminal or a pipe for the life of the object.
class CapturedStream {
public:
    CapturedStream(int fd, bool terminal) : fd_(fd) {
        fflush(nullptr);
        saved_ = dup(fd_);
        if (terminal) {
            termios raw{};
            cfmakeraw(&raw);
            EXPECT_EQ(openpty(&reader_, &writer_, nullptr, &raw, nullptr), 0);
        } else {
            int p[2];
            EXPECT_EQ(pipe(p), 0);
            reader_ = p[0];
            writer_ = p[1];
        }
        fcntl(reader_, F_SETFL, O_NONBLOCK);
        dup2(writer_, fd_);
    }
    ~CapturedStream() {
        restore();
        close(reader_);
    }
    std::string take() {
        fflush(nullptr);
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(reader_, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        close(writer_);
        saved_ = -1;
    }
    int fd_;
    int saved_ = -1;
    int reader_ = -1;
    int writer_ = -1;
};

CLI_Display& display() {
    static CLI_Display d;
    return d;
}

std::string bar(int filled, int spaces) {
    return std::string(static_cast<size_t>(filled), '=') + ">" +
           std::string(static_cast<size_t>(spaces), ' ');
}

} // namespace

TEST(CLIDisplay, ProgressOnATerminal) {
    struct Case {
        double fraction;
        const char* label;
        std::string expected;
    } cases[] = {
        {0.5, nullptr, "\r[" + bar(34, 34) + "] ( 50% ) "},
        {0.0, nullptr, "\r[" + bar(0, 68) + "] (  0% ) "},
        {1.0, nullptr, "\r[" + bar(69, 1) + "] (100% ) "},
        // label "Block 1" (7 characters): width 69 - 7 - 4 = 58
        {0.25, "Block 1", "\r (Block 1) [" + bar(14, 43) + "] ( 25% ) "},
        {1.0, "Block 1", "\r (Block 1) [" + bar(58, 1) + "] (100% ) "},
    };
    for (const auto& c : cases) {
        CapturedStream out(STDOUT_FILENO, true);
        display().update_progress(c.fraction, c.label);
        EXPECT_EQ(out.take(), c.expected) << c.fraction;
    }
    CapturedStream out(STDOUT_FILENO, true);
    display().display_progress(true);
    display().display_progress(false);
    EXPECT_EQ(out.take(), "\r" + std::string(88, ' ') + "\r");
}

TEST(CLIDisplay, SpinnerFramesAndLabel) {
    CapturedStream out(STDOUT_FILENO, true);
    // The counter is process-wide and starts at 0; no other test advances it.
    std::string all;
    for (int i = 0; i < 9; ++i) display().update_spinner(true, nullptr);
    all = out.take();
    const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
    std::string expected;
    for (const char* f : frames) expected += std::string("\r ") + f + "      \r";
    EXPECT_EQ(all, expected);

    display().update_spinner(true, "Downloading");
    EXPECT_EQ(out.take(), "\r (Downloading) ..      \r");
    display().update_spinner(false, "Downloading");
    EXPECT_EQ(out.take(), "\r" + std::string(88, ' ') + "\r");
    display().update_spinner(true, nullptr); // removing the spinner left the counter alone
    EXPECT_EQ(out.take(), "\r ...      \r");
}

TEST(CLIDisplay, NothingButMessagesWhenRedirected) {
    CapturedStream out(STDOUT_FILENO, false);
    display().display_progress(true);
    display().update_progress(0.5, "x");
    display().update_spinner(true, "x");
    display().update_spinner(false, nullptr);
    display().display_progress(false);
    display().message(UpdaterDisplayInterface::INFO, "still %s", "shown");
    EXPECT_EQ(out.take(), "still shown\n");
}

TEST(CLIDisplay, MessageLevelsMutingAndLength) {
    CapturedStream out(STDOUT_FILENO, false);
    CapturedStream err(STDERR_FILENO, false);
    display().message(UpdaterDisplayInterface::INFO, "info %d", 1);
    display().message(UpdaterDisplayInterface::ERROR, "error %d", 2);
    display().message(static_cast<UpdaterDisplayInterface::Level>(7), "other %d", 3);
    EXPECT_EQ(out.take(), "info 1\nother 3\n");
    EXPECT_EQ(err.take(), "error 2\n");

    std::string longText(3000, 'x');
    display().message(UpdaterDisplayInterface::INFO, "%s", longText.c_str());
    EXPECT_EQ(out.take(), std::string(2047, 'x') + "\n");

    display().mute_messages(true);
    display().message(UpdaterDisplayInterface::ERROR, "hidden");
    display().message(UpdaterDisplayInterface::INFO, "hidden");
    display().mute_messages(false);
    EXPECT_EQ(out.take(), "");
    EXPECT_EQ(err.take(), "");
}

TEST(CLIDisplay, MutedSpinnerStillDraws) {
    CapturedStream out(STDOUT_FILENO, true);
    display().mute_messages(true);
    display().update_spinner(false, nullptr);
    display().mute_messages(false);
    EXPECT_EQ(out.take(), "\r" + std::string(88, ' ') + "\r");
}

TEST(Log, PackageMask) {
    FILE* sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    Log::SetOutput(sink);
    Log::package_bitmask = 0;
    Log::ActivatePackage(DEBUG_Updater);
    Log::log(DEBUG_BirdFile, "bird %d\n", 1);
    Log::log(0, "always %d\n", 2);
    Log::log(DEBUG_Updater | DEBUG_BirdFile, "either %d\n", 3);
    Log::ActivatePackage(DEBUG_BirdFile);
    Log::DeactivatePackage(DEBUG_Updater);
    Log::log(DEBUG_Updater, "updater %d\n", 4);
    Log::log(DEBUG_BirdFile, "bird %d\n", 5);
    std::string big(3000, 'y');
    Log::log(0, "%s", big.c_str());
    Log::package_bitmask = 0;
    Log::SetOutput(nullptr);
    Log::log(0, "nowhere\n"); // no output set: nothing happens

    rewind(sink);
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), sink)) > 0) text.append(buf, n);
    fclose(sink);
    EXPECT_EQ(text, "always 2\neither 3\nbird 5\n" + std::string(2047, 'y'));
}
