#include "BirdWriter.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>

#include "Log.h"
#include "ReferenceServer.h"

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

void writeBird(const std::string& path, const std::string& json) {
    const std::string spec = path + ".json";
    writeFile(spec, json);
    ProcessResult r = runTool("birdwriter.py", {"json", spec, path});
    ASSERT_EQ(r.status, 0) << r.err;
    std::remove(spec.c_str());
}

void writeImage(const std::string& path, const std::string& build, const std::string& version,
                const std::string& extra) {
    std::vector<std::string> args{"image", path, "--build", build, "--version", version};
    std::istringstream words(extra);
    for (std::string w; words >> w;) args.push_back(w);
    ProcessResult r = runTool("birdwriter.py", args);
    ASSERT_EQ(r.status, 0) << r.err;
}

LogCapture::LogCapture(unsigned packages) : saved_(Log::package_bitmask) {
    FILE* f = open_memstream(&buffer_, &size_);
    stream_ = f;
    Log::SetOutput(f);
    Log::ActivatePackage(packages);
}

LogCapture::~LogCapture() {
    Log::SetOutput(nullptr);
    Log::package_bitmask = saved_;
    fclose(static_cast<FILE*>(stream_));
    free(buffer_);
}

std::string LogCapture::text() {
    fflush(static_cast<FILE*>(stream_));
    return std::string(buffer_, size_);
}
