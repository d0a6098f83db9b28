// The attribute-file reader on arbitrary file contents, then a save and a reload that must
// give back the same entries.
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <unistd.h>

#include "KeyValueStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = "/tmp/fuzz_attributes." + std::to_string(getpid());
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    KeyValueStore store;
    (void)store.Load(path.c_str());
    (void)store.GetInt("LATEST_DOWNLOAD", 0);
    (void)store.GetHex("SERIAL", 0);
    (void)store.GetDouble("D", 0.0);
    // Entries read from a file never hold a line end, so they survive a save and a reload.
    if (store.Save(path.c_str())) {
        KeyValueStore again;
        (void)again.Load(path.c_str());
        // A key that begins with "#" (after leading blanks in the file) reads back as a comment.
        auto kept = store.Entries();
        for (auto it = kept.begin(); it != kept.end();)
            it = it->first[0] == '#' ? kept.erase(it) : std::next(it);
        if (again.Entries() != kept) __builtin_trap();
    }
    remove(path.c_str());
    return 0;
}
