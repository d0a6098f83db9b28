#include "BirdFile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <zlib.h>

#include "Log.h"
#include "aFile.h"

namespace {

constexpr uint32_t _HEADER_SIZE = 6;
constexpr uint32_t _INFO_SIZE = 64;
constexpr uint32_t _OFFSETS_SIZE = 8;
constexpr uint32_t _ADDRESS_SIZE = 4;
constexpr uint32_t _VECTOR_BYTES = 32;
constexpr unsigned long _INFLATE_FACTOR = 8;

uint32_t GetInt(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint16_t GetShort(const unsigned char* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t _getLE(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void _putLE(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Info field i (16 bytes) as text, cut to at most max characters and at the first NUL.
std::string _field(const BirdBlock& info, unsigned i, size_t max) {
    const char* start = reinterpret_cast<const char*>(info.data + 16 * i);
    return std::string(start, strnlen(start, max));
}

bool _isImage(const BirdBlock& b) { return b.type == BirdFile::BLOCK_TYPE_FIRMWARE && b.length >= _ADDRESS_SIZE; }

} // namespace

BirdFile::BirdFile() = default;
BirdFile::BirdFile(BirdFile&&) noexcept = default;
BirdFile& BirdFile::operator=(BirdFile&&) noexcept = default;
BirdFile::~BirdFile() = default;

BirdFile::BirdFile(const char* path) : _path(path ? path : "") {
    if (!Load()) throw std::runtime_error("Failed to load bird data");
}

bool BirdFile::Load() {
    const char* path = _path.c_str();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", path);
    if (!aFile_Exists(path)) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", path);
        return false;
    }
    auto file = aFile_Open(path, aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path);
        return false;
    }
    unsigned long size = 0;
    aErr e = aFile_GetSize(file, &size);
    if (e != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n",
                 static_cast<int>(e), path);
        (void)aFile_Close(&file);
        return false;
    }
    // A body that could not inflate into 32 bits is refused before it is read into memory.
    if (size > _HEADER_SIZE + 0xFFFFFFFFul / _INFLATE_FACTOR) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_MEM_ERROR);
        (void)aFile_Close(&file);
        return false;
    }
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[size ? size : 1]);
    unsigned long got = 0;
    e = raw ? aFile_Read(file, raw.get(), size, &got) : aErrMemory;
    (void)aFile_Close(&file);
    if (e != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", static_cast<int>(e), path);
        return false;
    }
    if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 path, static_cast<size_t>(got), static_cast<size_t>(size));
        return false;
    }
    if (size <= _HEADER_SIZE) return false;
    _signature = GetInt(raw.get());
    _formatVersion = GetShort(raw.get() + 4);
    if (!DecompressData(raw.get() + _HEADER_SIZE, size - _HEADER_SIZE)) return false;
    (void)ScanBlocks(_body.get(), _bodySize);
    _hasSerialOffsets = !FindBlocks(BLOCK_TYPE_SERIAL_OFFSETS).empty();
    (void)FindSerialNumberOffsets();
    return true;
}

bool BirdFile::DecompressData(const unsigned char* data, unsigned long length) {
    _body.reset();
    _bodySize = 0;
    _blocks.clear();
    _blockCount = 0;
    // The inflated body may be at most eight times the compressed one and must fit 32 bits.
    if (data == nullptr || length == 0 || length > 0xFFFFFFFFul / _INFLATE_FACTOR) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", Z_DATA_ERROR);
        return false;
    }
    uLongf capacity = length * _INFLATE_FACTOR;
    std::unique_ptr<unsigned char[]> out(new (std::nothrow) unsigned char[capacity]);
    int rc = out ? uncompress(out.get(), &capacity, data, length) : Z_MEM_ERROR;
    if (rc != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
        return false;
    }
    _body = std::move(out);
    _bodySize = static_cast<uint32_t>(capacity);
    return true;
}

bool BirdFile::ScanBlocks(const unsigned char* data, unsigned size) {
    if (data != _body.get()) {
        _body.reset(new (std::nothrow) unsigned char[size ? size : 1]);
        _bodySize = 0;
        if (!_body) return false;
        if (size) memcpy(_body.get(), data, size);
        _bodySize = size;
    }
    unsigned char* body = _body.get();
    _blocks.clear();
    _blockCount = 0;
    _checksum = 0;
    if (body == nullptr || size < 4) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(size));
        return false;
    }
    const uint32_t declared = GetInt(body);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(declared));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    int64_t remaining = int64_t(size) - 4;
    uint64_t pos = 4;
    bool complete = true;
    while (remaining > 4 && pos < size) {
        // A record whose header or data would run past the body ends the scan.
        if (pos + 5 > size) {
            complete = false;
            break;
        }
        BirdBlock block;
        block.type = body[pos] & BIRD_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((body[pos] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = GetInt(body + pos + 1);
        const uint64_t start = pos + 5;
        if (block.length > size - start) {
            complete = false;
            break;
        }
        block.data = body + start;
        if ((block.type == BLOCK_TYPE_LOADER || block.type == BLOCK_TYPE_FIRMWARE) &&
            block.length >= _ADDRESS_SIZE)
            block.address = GetInt(block.data);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));
        if (block.type == BLOCK_TYPE_INFO && block.length >= _INFO_SIZE)
            for (unsigned i = 0; i < 4; ++i)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         reinterpret_cast<const char*>(block.data + 16 * i));
        pos = start + block.length;
        remaining -= 5 + int64_t(block.length);
        ++_blockCount;
        _blocks.push_back(block);
    }
    if (complete && remaining >= 4 && pos + 4 <= size) {
        _checksum = GetInt(body + pos);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", _checksum);
        remaining -= 4;
    } else if (remaining == 0) {
        remaining = -4; // the checksum is missing: still a size mismatch
    }
    bool ok = true;
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        ok = false;
    }
    if (_blockCount != declared) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(_blockCount), static_cast<int>(declared));
        ok = false;
    }
    return ok;
}

bool BirdFile::FindSerialNumberOffsets() {
    for (const BirdBlock& b : _blocks) {
        if (b.type != BLOCK_TYPE_SERIAL_OFFSETS || b.length < _OFFSETS_SIZE) continue;
        _serialOffset = GetInt(b.data);
        _descriptorOffset = GetInt(b.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(_serialOffset), static_cast<int>(_descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::VerifyFile(const char* path) {
    auto file = aFile_Open(path, aFileModeRead);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path ? path : "");
        return false;
    }
    unsigned char header[_HEADER_SIZE] = {};
    unsigned long got = 0;
    aErr e = aFile_Read(file, header, sizeof(header), &got);
    (void)aFile_Close(&file);
    return e == aErrNone && got == sizeof(header) && memcmp(header, "bird", 4) == 0 &&
           header[4] != 0 && header[5] != 0;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& b : _blocks)
        if (b.type == type) found.push_back(b);
    return found;
}

const BirdBlock* BirdFile::_info() const {
    for (const BirdBlock& b : _blocks)
        if (b.type == BLOCK_TYPE_INFO && b.length >= _INFO_SIZE) return &b;
    return nullptr;
}

uint32_t BirdFile::GetBuild() const {
    const BirdBlock* info = _info();
    if (info == nullptr) return 0;
    return static_cast<uint32_t>(strtoul(_field(*info, 0, 15).c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const {
    const BirdBlock* info = _info();
    if (info == nullptr) return "";
    std::string version = _field(*info, 1, 15);
    return version.substr(0, version.find(' '));
}

uint32_t BirdFile::GetSerialNumber() const {
    const BirdBlock* info = _info();
    if (info == nullptr) return 0;
    return static_cast<uint32_t>(strtoul(_field(*info, 2, 8).c_str(), nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(unsigned serial) const { return GetSerialNumber() == serial; }

bool BirdFile::ValidateModel(const char* model) const {
    const BirdBlock* info = _info();
    if (info == nullptr || model == nullptr) return false;
    std::string field = _field(*info, 3, 16);
    while (!field.empty() && field.back() == ' ') field.pop_back();
    if (field.compare(0, strlen(model), model) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), model);
    return true;
}

bool BirdFile::ValidateData(unsigned char* pattern, unsigned count) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", _path.c_str());
    bool found = false;
    if (pattern != nullptr && count != 0) {
        for (const BirdBlock& b : _blocks) {
            if (b.type != BLOCK_TYPE_FIRMWARE || b.length < count) continue;
            // Every start position at which the whole pattern fits, the last one included.
            for (uint32_t i = 0; i <= b.length - count; ++i) {
                if (memcmp(b.data + i, pattern, count) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::ReplaceSerialNumber(unsigned serial) {
    char digits[9];
    snprintf(digits, sizeof(digits), "%08X", serial);
    bool result = false;
    for (const BirdBlock& b : _blocks) {
        if (!_isImage(b)) continue;
        // Device addresses [A, A + L - 4) lie at data offsets [4, L).
        const uint64_t a = b.address;
        const uint64_t end = a + b.length - _ADDRESS_SIZE;
        const uint64_t s = _serialOffset, d = _descriptorOffset;
        if (s != 0) {
            if (a <= s && s + 4 <= end) {
                unsigned char* word = b.data + (s - a) + _ADDRESS_SIZE;
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         _getLE(word), serial);
                _putLE(word, serial);
            }
            result = true;
        }
        if (d != 0 && a <= d && d + 16 <= end) {
            unsigned char* text = b.data + (d - a) + _ADDRESS_SIZE;
            for (unsigned i = 0; i < 8; ++i) text[2 * i] = static_cast<unsigned char>(digits[i]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::DecodeFirmwareBlocks(const unsigned* key) {
    if (key == nullptr) return false;
    unsigned char stream[16];
    for (unsigned w = 0; w < 4; ++w)
        for (unsigned i = 0; i < 4; ++i)
            stream[4 * w + i] = static_cast<unsigned char>(key[w] >> (24 - 8 * i));
    for (const BirdBlock& b : _blocks) {
        if (!_isImage(b)) continue;
        unsigned char previous = 0;
        unsigned k = 0;
        for (uint32_t i = _ADDRESS_SIZE; i < b.length; ++i) {
            b.data[i] = static_cast<unsigned char>(b.data[i] ^ stream[k] ^ previous);
            previous = b.data[i];
            k = (k + 1) % 16;
        }
    }
    return true;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& b : _blocks) {
        if (!_isImage(b) || b.address != 0 || b.length < _ADDRESS_SIZE + _VECTOR_BYTES) continue;
        unsigned char* image = b.data + _ADDRESS_SIZE;
        uint32_t sum = 0;
        for (unsigned w : {0u, 1u, 2u, 3u, 4u, 6u}) sum += _getLE(image + 4 * w);
        const uint32_t old = _getLE(image + 28);
        const uint32_t now = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", old,
                 now);
        _putLE(image + 28, now);
    }
    return true;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) {
    printf("BIRDFILE: BLOCK DUMP [%s]\n", _path.c_str());
    for (const BirdBlock& b : _blocks) {
        if (b.type != type) continue;
        std::string text;
        for (uint32_t i = 0; i < b.length; ++i) {
            if (i % 50 == 0) {
                printf(" %s\r\n%06d: ", text.c_str(), static_cast<int>(i));
                text.clear();
            }
            const unsigned char c = b.data[i];
            text += isprint(c) ? static_cast<char>(c) : ' ';
            printf("%02X ", c);
        }
        printf(" %s\n", text.c_str());
    }
    printf("\n");
    return true;
}
