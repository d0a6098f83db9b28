// A BIRD firmware file: signature "bird", a 2-byte format version, and a zlib body holding a
// block count, typed blocks (loader, firmware, serial-number offsets, info, loader start) and a
// checksum, all framing big-endian.
//
// A BirdFile reads the file, inflates and indexes the body, answers questions about the build,
// and changes the image in memory only (personalising it with a serial number, unscrambling it
// with a fingerprint). It never writes the file back. Every access stays inside the body: a
// hostile file makes loading fail or yields fewer blocks, never a read or write outside it.
// Diagnostics go to the debug log under DEBUG_BirdFile; only DumpBlocks prints to stdout.
// Movable, not copyable; not shared between threads.
#ifndef KORVEL_BIRDFILE_H
#define KORVEL_BIRDFILE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One indexed block: a view into the body of the BirdFile that produced it, valid as long as
// that file (or the file it was moved into) lives.
struct BirdBlock {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t length = 0;        // data bytes, the address bytes of loader and firmware included
    uint32_t address = 0;       // load address of loader and firmware blocks, else 0
    unsigned char* data = nullptr;
};

class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_TYPE_LOADER = 0,
        BLOCK_TYPE_FIRMWARE = 1,
        BLOCK_TYPE_SERIAL_OFFSETS = 2,
        BLOCK_TYPE_INFO = 4,
        BLOCK_TYPE_LOADER_START = 5,
    };
    static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264; // "bird"
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    // No path, no blocks, no body: the absence of firmware.
    BirdFile();
    // Loads the file; throws std::runtime_error("Failed to load bird data") when Load fails.
    explicit BirdFile(const char* path);
    BirdFile(BirdFile&&) noexcept;
    BirdFile& operator=(BirdFile&&) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;
    ~BirdFile();

    // Reads, inflates and indexes the file at the stored path. A body whose block count or size
    // does not add up still loads with the blocks found (the mismatch is logged).
    bool Load();
    // Inflates a zlib stream into the owned body (at most eight times its compressed length).
    bool DecompressData(const unsigned char* data, unsigned long length);
    // Indexes the block records of an inflated body; false on a size or count mismatch (the
    // blocks found are kept). A body other than the owned one is copied in first, so blocks
    // always point into the owned body.
    bool ScanBlocks(const unsigned char* data, unsigned size);
    // Serial-number and descriptor offsets from the first serial-offsets block of 8 bytes or
    // more; false when there is none.
    bool FindSerialNumberOffsets();
    // Cheap check without inflating: the first 6 bytes are "bird" and two non-zero bytes.
    static bool VerifyFile(const char* path);

    // Copies of all blocks of the type, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    // Info fields, from the first info block of 64 bytes or more; 0 or "" without one.
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(unsigned serial) const;
    // The model field (trailing spaces removed) begins with model; false without info block.
    bool ValidateModel(const char* model) const;
    // The pattern occurs in a firmware block (address bytes included).
    bool ValidateData(unsigned char* pattern, unsigned count);

    // Writes the serial number into the serial-number word and the descriptor text of every
    // firmware block that holds them. True when the word offset is set and a firmware block
    // exists, or when a descriptor was written.
    bool ReplaceSerialNumber(unsigned serial);
    // Unscrambles (or, called again, scrambles) the firmware images with a four-word key.
    // False only for a null key.
    bool DecodeFirmwareBlocks(const unsigned* key);
    // Recomputes vector-table word 7 of every firmware block loaded at address 0.
    bool ReplaceVectorChecksum();
    // Hex and text dump of all blocks of the type on standard output.
    bool DumpBlocks(BLOCK_TYPE type);

    const std::string& Path() const { return _path; }
    uint32_t Signature() const { return _signature; }
    uint32_t FormatVersion() const { return _formatVersion; }
    uint32_t Checksum() const { return _checksum; }
    uint32_t BlockCount() const { return _blockCount; }
    const std::vector<BirdBlock>& Blocks() const { return _blocks; }
    bool HasSerialOffsets() const { return _hasSerialOffsets; }
    uint32_t SerialNumberOffset() const { return _serialOffset; }
    uint32_t DescriptorOffset() const { return _descriptorOffset; }
    const unsigned char* Body() const { return _body.get(); }
    uint32_t BodySize() const { return _bodySize; }

private:
    const BirdBlock* _info() const;

    std::string _path;
    uint32_t _signature = 0;
    uint32_t _formatVersion = 0;
    uint32_t _checksum = 0;
    uint32_t _blockCount = 0;
    std::vector<BirdBlock> _blocks;
    bool _hasSerialOffsets = false;
    uint32_t _serialOffset = 0;
    uint32_t _descriptorOffset = 0;
    std::unique_ptr<unsigned char[]> _body;
    uint32_t _bodySize = 0;
};

#endif
