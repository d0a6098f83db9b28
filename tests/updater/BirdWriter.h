// BIRD files for tests, made by the independent writer in tools/birdwriter.py.
#ifndef KORVEL_TEST_BIRDWRITER_H
#define KORVEL_TEST_BIRDWRITER_H

#include <string>

// Lower-case hexadecimal text of the bytes.
std::string hex(const std::string& bytes);

// Writes the file that the writer's JSON description gives (see tools/birdwriter.py); the
// test fails when the writer does.
void writeBird(const std::string& path, const std::string& json);

// A well-formed file through the writer's "image" command with the given extra arguments.
void writeImage(const std::string& path, const std::string& build, const std::string& version,
                const std::string& extra = "");

// Captures the debug log of the given packages while it lives.
class LogCapture {
public:
    explicit LogCapture(unsigned packages);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text();

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    void* stream_ = nullptr;
    unsigned saved_;
};

#endif
