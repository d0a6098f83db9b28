#include "BirdFile.h"

#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

#include "BirdWriter.h"
#include "Log.h"
#include "TestProcess.h"

namespace {

// n image bytes 0, 1, 2, ... (mod 251, so no run compresses too well).
std::string ramp(size_t n, unsigned start = 0) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>((start + i) % 251);
    return s;
}

std::string firmware(unsigned address, const std::string& image) {
    return "{\"type\": 1, \"address\": " + std::to_string(address) + ", \"image\": \"" +
           hex(image) + "\"}";
}

std::string info(const char* build, const char* version, const char* serial, const char* model) {
    return std::string("{\"type\": 4, \"info\": [\"") + build + "\", \"" + version + "\", \"" +
           serial + "\", \"" + model + "\"]}";
}

std::string offsets(unsigned serial, unsigned descriptor) {
    return "{\"type\": 2, \"offsets\": [" + std::to_string(serial) + ", " +
           std::to_string(descriptor) + "]}";
}

std::string blocks(const std::vector<std::string>& list, const std::string& more = "") {
    std::string json = "{\"blocks\": [";
    for (size_t i = 0; i < list.size(); ++i) json += (i ? ", " : "") + list[i];
    return json + "]" + more + "}";
}

class BirdFileTest : public ::testing::Test {
protected:
    BirdFile load(const std::string& json) {
        writeBird(dir.file("f.bird"), json);
        return BirdFile(dir.file("f.bird").c_str());
    }
    // Image bytes of the n-th firmware block.
    static std::string image(const BirdFile& f, size_t n = 0) {
        BirdBlock b = f.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE).at(n);
        return std::string(reinterpret_cast<char*>(b.data) + 4, b.length - 4);
    }
    TempDir dir;
};

} // namespace

TEST_F(BirdFileTest, VerifyFileChecksSignatureAndNonZeroVersionBytes) {
    struct Case {
        std::string bytes;
        bool ok;
    } cases[] = {
        {std::string("bird\x01\x01xyz"), true},
        {std::string("bird\x02\x02"), true},
        {std::string("bird\x01\x00", 6), false},
        {std::string("bird\x00\x01", 6), false},
        {std::string("BIRD\x01\x01"), false},
        {std::string("bird\x01"), false},
        {"", false},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("v.bird"), c.bytes);
        EXPECT_EQ(BirdFile::VerifyFile(dir.file("v.bird").c_str()), c.ok) << hex(c.bytes);
    }
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("missing.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST_F(BirdFileTest, LoadsAWellFormedImage) {
    writeImage(dir.file("i.bird"), "1002", "2.10.1",
               "--serial 40f5849a --model KV-RELAY --loader-start 0x2000");
    BirdFile f(dir.file("i.bird").c_str());
    EXPECT_EQ(f.Signature(), BirdFile::BIRD_FILE_SIGNATURE);
    EXPECT_EQ(f.FormatVersion(), BirdFile::BIRD_FILE_VERSION);
    EXPECT_EQ(f.BlockCount(), 4u);
    EXPECT_EQ(f.GetBuild(), 1002u);
    EXPECT_EQ(f.GetVersion(), "2.10.1");
    EXPECT_EQ(f.GetSerialNumber(), 0x40F5849Au);
    EXPECT_TRUE(f.ValidateSerialNumber(0x40F5849A));
    EXPECT_TRUE(f.ValidateModel("KV-RELAY"));
    EXPECT_FALSE(f.HasSerialOffsets());
    ASSERT_EQ(f.FindBlocks(BirdFile::BLOCK_TYPE_LOADER).size(), 1u);
    EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)[0].address, 0x2000u);
    EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[0].address, 0x4000u);
    EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[0].length, 4u + 4096u);
    EXPECT_EQ(f.FindBlocks(BirdFile::BLOCK_TYPE_LOADER_START).size(), 1u);
    EXPECT_TRUE(f.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(3)).empty());

    // A moved file keeps its blocks pointing into the body it took over.
    BirdFile moved = std::move(f);
    EXPECT_EQ(moved.GetVersion(), "2.10.1");
    EXPECT_EQ(image(moved).size(), 4096u);
}

TEST_F(BirdFileTest, MalformedFilesFailOrLoadWhatIsThere) {
    struct Case {
        const char* name;
        std::string json;
        bool loads;
        unsigned blocks;
        const char* logged;
    } cases[] = {
        {"count says 3, body holds 2",
         blocks({firmware(0x100, ramp(64)), info("1", "1.0.0", "0", "M")},
                ", \"declared_count\": 3"),
         true, 2, "Block parsing mismatch in number of blocks. (2 != 3)"},
        {"record length runs past the body",
         blocks({info("1", "1.0.0", "0", "M"),
                 "{\"type\": 1, \"data\": \"0000000001020304\", \"length\": 99999}"}),
         true, 1, "Block parsing mismatch in data size."},
        {"checksum missing", blocks({info("1", "1.0.0", "0", "M")}, ", \"truncate_body\": 73"),
         true, 1, "Block parsing mismatch in data size. (-4 bytes remaining)"},
        {"body shorter than its count", "{\"body\": \"000001\"}", true, 0,
         "Block parsing mismatch in data size."},
        {"inflates to more than eight times", "{\"body\": \"" + hex(std::string(100000, 'x')) + "\"}",
         false, 0, "BIRDFILE: Error (-5) decompressing bird file."},
        {"body is not zlib", "{\"payload\": \"0102030405060708\"}", false, 0,
         "decompressing bird file."},
        {"header only", "{\"payload\": \"\"}", false, 0, "BIRDFILE: Loading File"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeBird(dir.file("m.bird"), c.json);
        LogCapture log(DEBUG_BirdFile);
        BirdFile f;
        EXPECT_EQ(f.Load(), false) << "an empty path loads nothing";
        BirdFile m;
        bool loaded = true;
        try {
            m = BirdFile(dir.file("m.bird").c_str());
        } catch (const std::runtime_error& e) {
            loaded = false;
            EXPECT_STREQ(e.what(), "Failed to load bird data");
        }
        EXPECT_EQ(loaded, c.loads);
        EXPECT_EQ(m.Blocks().size(), c.blocks);
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
    }
    EXPECT_THROW(BirdFile(dir.file("none.bird").c_str()), std::runtime_error);
}

TEST_F(BirdFileTest, InfoFields) {
    struct Case {
        const char* build;
        const char* version;
        const char* serial;
        const char* model;
        uint32_t wantBuild;
        const char* wantVersion;
        uint32_t wantSerial;
    } cases[] = {
        {"100", "1.2.3 beta", "0000abcd", "KV-HUB", 100, "1.2.3", 0xABCD},
        {"123456789012345678", "123456789012345X", "12345678FFFF", "M", 2249056121u,
         "123456789012345", 0x12345678},
        {"12x", "", "zz", "M", 12, "", 0},
    };
    for (const auto& c : cases) {
        BirdFile f = load(blocks({info(c.build, c.version, c.serial, c.model)}));
        EXPECT_EQ(f.GetBuild(), c.wantBuild) << c.build;
        EXPECT_EQ(f.GetVersion(), c.wantVersion) << c.version;
        EXPECT_EQ(f.GetSerialNumber(), c.wantSerial) << c.serial;
    }
    BirdFile f = load(blocks({info("1", "1.0.0", "0", "NAMEX")}));
    EXPECT_TRUE(f.ValidateModel("NAME"));
    EXPECT_TRUE(f.ValidateModel("NAMEX"));
    EXPECT_TRUE(f.ValidateModel(""));
    EXPECT_FALSE(f.ValidateModel("NAMEXY"));
    EXPECT_FALSE(f.ValidateModel("OTHER"));

    // An info block shorter than 64 bytes counts as absent, and so does a missing one.
    for (const std::string& json :
         {blocks({"{\"type\": 4, \"data\": \"" + hex("100") + "\"}"}),
          blocks({firmware(0, ramp(16))})}) {
        BirdFile g = load(json);
        EXPECT_EQ(g.GetBuild(), 0u);
        EXPECT_EQ(g.GetVersion(), "");
        EXPECT_EQ(g.GetSerialNumber(), 0u);
        EXPECT_FALSE(g.ValidateModel(""));
    }
}

TEST_F(BirdFileTest, PersonalisingWritesWordAndDescriptorInsideTheirBlock) {
    const unsigned A = 0x4000;
    std::string img = ramp(256);
    for (int i = 0; i < 16; ++i) img[0x20 + i] = '\x77'; // descriptor high bytes must survive
    BirdFile f = load(blocks({firmware(A, img), offsets(A + 0x10, A + 0x20)}));
    ASSERT_TRUE(f.HasSerialOffsets());
    EXPECT_EQ(f.SerialNumberOffset(), A + 0x10);
    ASSERT_TRUE(f.ReplaceSerialNumber(0x00ABCDEF));
    std::string want = img;
    want.replace(0x10, 4, "\xEF\xCD\xAB\x00", 4);
    const char digits[] = "00ABCDEF";
    for (int i = 0; i < 8; ++i) want[0x20 + 2 * i] = digits[i];
    EXPECT_EQ(hex(image(f)), hex(want));

    struct Case {
        const char* name;
        unsigned serial, descriptor;
        bool result;
        std::vector<std::pair<size_t, std::string>> changes; // (block, offset of the word)
    } cases[] = {
        {"word only", A + 0x10, 0, true, {{0, "\x10"}}},
        {"last word that fits", A + 252, 0, true, {{0, "\xfc"}}},
        {"word one byte past the end", A + 253, 0, true, {}},
        {"word in no block", 0x9000, 0, true, {}},
        {"descriptor in no block, no word", 0, 0x9000, false, {}},
        {"word in the second block", 0x8000 + 8, 0, true, {{1, "\x08"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BirdFile g = load(blocks({firmware(A, img), firmware(0x8000, ramp(64, 7)),
                                  offsets(c.serial, c.descriptor)}));
        EXPECT_EQ(g.ReplaceSerialNumber(0x11223344), c.result);
        std::string first = img, second = ramp(64, 7);
        for (const auto& [block, at] : c.changes)
            (block == 0 ? first : second)
                .replace(static_cast<unsigned char>(at[0]), 4, "\x44\x33\x22\x11");
        EXPECT_EQ(hex(image(g, 0)), hex(first));
        EXPECT_EQ(hex(image(g, 1)), hex(second));
    }
}

TEST_F(BirdFileTest, ShortOffsetsBlockLeavesNothingToPersonalise) {
    BirdFile f = load(blocks({firmware(0x4000, ramp(64)), "{\"type\": 2, \"data\": \"00004010\"}"}));
    // The image is generic, but without usable offsets it cannot be personalised.
    EXPECT_TRUE(f.HasSerialOffsets());
    EXPECT_FALSE(f.ReplaceSerialNumber(1));
    EXPECT_EQ(hex(image(f)), hex(ramp(64)));
}

TEST_F(BirdFileTest, DecodingChainsKeyAndPreviousByte) {
    const std::string loader = "{\"type\": 0, \"address\": 0, \"image\": \"1020\"}";
    BirdFile f = load(blocks({loader, firmware(0, std::string("\x10\x20\x30", 3))}));
    const unsigned key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    EXPECT_TRUE(f.DecodeFirmwareBlocks(key));
    // 10^01^00 = 11, 20^02^11 = 33, 30^03^33 = 00
    EXPECT_EQ(hex(image(f)), "113300");
    BirdBlock l = f.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)[0];
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(l.data) + 4, 2)), "1020");

    // With an all-zero key every byte is XORed with the previous output byte.
    BirdFile g = load(blocks({firmware(0, std::string("\x01\x02\x04\x08", 4))}));
    const unsigned zero[4] = {0, 0, 0, 0};
    EXPECT_TRUE(g.DecodeFirmwareBlocks(zero));
    EXPECT_EQ(hex(image(g)), "0103070f");
    EXPECT_FALSE(g.DecodeFirmwareBlocks(nullptr));
}

TEST_F(BirdFileTest, VectorChecksumCoversSixWordsOfBlocksAtZero) {
    std::string vectors;
    const uint32_t w[8] = {0x10000000, 1, 2, 3, 4, 0x55555555, 6, 0xFFFFFFFF};
    for (uint32_t v : w)
        for (int i = 0; i < 4; ++i) vectors += static_cast<char>(v >> (8 * i));
    BirdFile f = load(blocks({firmware(0, vectors + "tail"), firmware(0x4000, vectors),
                              firmware(0, vectors.substr(0, 28))}));
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    const uint32_t sum = 0x10000000 + 1 + 2 + 3 + 4 + 6;
    std::string want = vectors;
    for (int i = 0; i < 4; ++i) want[28 + i] = static_cast<char>((0u - sum) >> (8 * i));
    EXPECT_EQ(hex(image(f, 0)), hex(want + "tail"));
    EXPECT_EQ(hex(image(f, 1)), hex(vectors)) << "not loaded at 0";
    EXPECT_EQ(hex(image(f, 2)), hex(vectors.substr(0, 28))) << "too short for a vector table";
}

TEST_F(BirdFileTest, PatternSearchReachesTheLastPosition) {
    BirdFile f = load(blocks({firmware(0x100, "abcdefgh"), info("1", "1.0.0", "0", "M")}));
    unsigned char end[] = {'g', 'h'};
    unsigned char address[] = {0x00, 0x00, 0x01, 0x00, 'a'};
    unsigned char absent[] = {'x'};
    EXPECT_TRUE(f.ValidateData(end, sizeof(end)));
    EXPECT_TRUE(f.ValidateData(address, sizeof(address)));
    EXPECT_FALSE(f.ValidateData(absent, sizeof(absent)));
    EXPECT_FALSE(f.ValidateData(nullptr, 1));
}

TEST_F(BirdFileTest, DumpPrintsHexAndTextRows) {
    BirdFile f = load(blocks({"{\"type\": 5, \"data\": \"41420a\"}"}));
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int out = open(dir.file("dump").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, STDOUT_FILENO);
    EXPECT_TRUE(f.DumpBlocks(BirdFile::BLOCK_TYPE_LOADER_START));
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(out);
    close(saved);
    EXPECT_EQ(readFile(dir.file("dump")), "BIRDFILE: BLOCK DUMP [" + dir.file("f.bird") +
                                              "]\n \r\n000000: 41 42 0A  AB \n\n");
}
