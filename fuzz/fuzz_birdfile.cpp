// BIRD loading on arbitrary bytes, then every operation on what was loaded. The first byte
// chooses the input: 0, a whole file (header and zlib body); anything else, an inflated body
// handed straight to the scanner (which zlib would otherwise keep the fuzzer away from).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "BirdFile.h"

namespace {

void sExercise(BirdFile& file) {
    (void)file.GetBuild();
    (void)file.GetVersion();
    (void)file.GetSerialNumber();
    (void)file.ValidateModel("KV-HUB");
    (void)file.ValidateModel("");
    unsigned char pattern[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    (void)file.ValidateData(pattern, sizeof(pattern));
    (void)file.FindSerialNumberOffsets();
    (void)file.ReplaceSerialNumber(0x00ABCDEF);
    const unsigned key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    (void)file.DecodeFirmwareBlocks(key);
    (void)file.ReplaceVectorChecksum();
    for (const BirdBlock& b : file.Blocks()) {
        // Every block lies inside the body.
        if (b.data < file.Body() || b.data + b.length > file.Body() + file.BodySize())
            __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] == 0) {
        static const std::string path = "/tmp/fuzz_birdfile." + std::to_string(getpid());
        FILE* f = fopen(path.c_str(), "wb");
        if (f == nullptr) return 0;
        fwrite(data + 1, 1, size - 1, f);
        fclose(f);
        if (BirdFile::VerifyFile(path.c_str())) {
            BirdFile file;
            try {
                BirdFile loaded(path.c_str());
                file = std::move(loaded);
            } catch (...) {
            }
            sExercise(file);
        }
        remove(path.c_str());
    } else {
        BirdFile file;
        (void)file.ScanBlocks(data + 1, static_cast<unsigned>(size - 1));
        sExercise(file);
    }
    return 0;
}
