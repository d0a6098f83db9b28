#include "aDefs.h"
#include "aUEI.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <vector>

namespace {

struct PacketGuard {
    aPacket* p;
    explicit PacketGuard(aPacket* packet) : p(packet) {}
    ~PacketGuard() {
        if (p) (void)aPacket_Destroy(&p);
    }
};

PacketGuard makePacket(const std::vector<uint8_t>& data) {
    const uint8_t none = 0; // CreateWithData refuses a null pointer even for no bytes
    return PacketGuard(aPacket_CreateWithData(2, data.size(), data.empty() ? &none : data.data()));
}

} // namespace

TEST(aUEI, BigEndianValues) {
    uint8_t b[4] = {};
    EXPECT_EQ(aUEI_StoreShort(b, 0x1234), aErrNone);
    EXPECT_EQ(b[0], 0x12);
    EXPECT_EQ(b[1], 0x34);
    EXPECT_EQ(aUEI_RetrieveShort(b), 0x1234);
    EXPECT_EQ(aUEI_StoreInt(b, 0xDEADBEEF), aErrNone);
    const uint8_t want[] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(0, memcmp(b, want, 4));
    EXPECT_EQ(aUEI_RetrieveInt(b), 0xDEADBEEFu);
    const uint8_t high[] = {0xFF, 0xFE};
    EXPECT_EQ(aUEI_RetrieveShort(high), 0xFFFE); // unsigned, no sign extension

    EXPECT_EQ(aUEI_StoreShort(nullptr, 1), aErrParam);
    EXPECT_EQ(aUEI_StoreInt(nullptr, 1), aErrParam);
    EXPECT_EQ(aUEI_RetrieveShort(nullptr), 0);
    EXPECT_EQ(aUEI_RetrieveInt(nullptr), 0u);
}

TEST(aUEI, ModifyIntBufferConvertsWireOrder) {
    const uint8_t wire[] = {0x01, 0x02, 0x03, 0x04, 0xF0, 0x00, 0x00, 0x0F};
    uint32_t words[2];
    memcpy(words, wire, sizeof(wire));
    EXPECT_EQ(aUEI_ModifyIntBuffer(words, 2), aErrNone);
    EXPECT_EQ(words[0], 0x01020304u);
    EXPECT_EQ(words[1], 0xF000000Fu);
    EXPECT_EQ(aUEI_ModifyIntBuffer(nullptr, 1), aErrParam);
    EXPECT_EQ(aUEI_ModifyIntBuffer(nullptr, 0), aErrNone);
}

TEST(aUEI, SequenceByte) {
    struct Case {
        std::vector<uint8_t> data;
        uint8_t sequence, more;
        bool full;
    } cases[] = {
        {{3, 1, 0, 0x80}, 0, 1, false},
        {{3, 1, 0, 0xAA, 0x05}, 5, 0, false},
        {std::vector<uint8_t>(27, 0xFF), 0x7F, 1, true},
        {std::vector<uint8_t>(28, 0x01), 1, 0, true},
        {std::vector<uint8_t>(26, 0x81), 1, 1, false},
        {{}, 0, 0, false},
    };
    for (const auto& c : cases) {
        auto g = makePacket(c.data);
        EXPECT_EQ(aUEI_getBytesSequence(g.p), c.sequence) << c.data.size();
        EXPECT_EQ(aUEI_getBytesContinue(g.p), c.more) << c.data.size();
        EXPECT_EQ(aUEI_getBytesFullPacket(g.p), c.full) << c.data.size();
    }
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(aUEI, PayloadClassification) {
    const uint8_t notUEI[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int cmd = 0; cmd < 256; ++cmd) {
        bool listed = std::find(std::begin(notUEI), std::end(notUEI), cmd) != std::end(notUEI);
        auto g = makePacket({static_cast<uint8_t>(cmd), 0x41, 0x20});
        EXPECT_EQ(aUEI_isNotUEIPayload(g.p), listed) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(g.p), !listed) << cmd;
    }
    auto empty = makePacket({});
    EXPECT_TRUE(aUEI_isNotUEIPayload(empty.p));
    EXPECT_FALSE(aUEI_isUEIPayload(empty.p));
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEI, StreamPacket) {
    struct Case {
        std::vector<uint8_t> data;
        bool stream;
    } cases[] = {
        {{3, 0x05, 0x41, 0, 0}, true},
        {{3, 0x05, 0x40, 1, 2, 3, 4}, true},
        {{3, 0x05, 0x41, 0}, false},             // dataSize not above 4
        {{3, 0x45, 0x41, 0, 0}, false},          // get bit
        {{3, 0x85, 0x41, 0, 0}, false},          // set bit
        {{3, 0x05, 0x01, 0, 0}, false},          // no stream flag
        {{cmdUPGRADE, 0x05, 0x41, 0, 0}, false}, // not a UEI payload
    };
    for (const auto& c : cases) {
        auto g = makePacket(c.data);
        EXPECT_EQ(aUEI_isStreamPacket(g.p), c.stream)
            << int(c.data[0]) << " " << int(c.data[1]) << " " << int(c.data[2]);
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

namespace {

// The wire bytes of every packet of a set-of-bytes request.
std::vector<std::vector<uint8_t>> setBytesPackets(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> buffer = bytes;
    uei request{};
    request.module = 6;
    request.command = 18;
    request.option = 0x07;
    request.specifier = 0x02;
    request.v.bytes = buffer.empty() ? nullptr : buffer.data();
    request.bufferLength = buffer.size();
    request.type = ueiTypeBytes;

    std::vector<std::vector<uint8_t>> out;
    size_t count = aUEI_SetBytesPacketCount(&request);
    for (size_t n = 0; n < count; ++n) {
        aPacket* p = reinterpret_cast<aPacket*>(1);
        EXPECT_EQ(aUEI_CreateSetBytesPacket(&request, n, &p), aErrNone);
        if (!p) break;
        EXPECT_EQ(p->address, 6);
        EXPECT_TRUE(aPacket_IsComplete(p));
        out.emplace_back(p->data, p->data + p->dataSize);
        (void)aPacket_Destroy(&p);
    }
    aPacket* p = reinterpret_cast<aPacket*>(1);
    EXPECT_EQ(aUEI_CreateSetBytesPacket(&request, count, &p), aErrParam);
    EXPECT_EQ(p, nullptr);
    return out;
}

} // namespace

TEST(aUEI, SetBytesSequence) {
    struct Case {
        size_t length;
        std::vector<size_t> chunks;
        std::vector<uint8_t> sequence;
    } cases[] = {
        {0, {0}, {0x00}},
        {1, {1}, {0x00}},
        {24, {24}, {0x00}},
        {25, {24, 1}, {0x80, 0x01}},
        {48, {24, 24}, {0x80, 0x01}},
        {49, {24, 24, 1}, {0x80, 0x81, 0x02}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes(c.length);
        for (size_t i = 0; i < c.length; ++i)
            bytes[i] = static_cast<uint8_t>(i * 7 + 1);
        auto packets = setBytesPackets(bytes);
        ASSERT_EQ(packets.size(), c.chunks.size()) << c.length;
        std::vector<uint8_t> joined;
        for (size_t n = 0; n < packets.size(); ++n) {
            const auto& d = packets[n];
            ASSERT_EQ(d.size(), c.chunks[n] + 4) << c.length << " packet " << n;
            EXPECT_EQ(d[0], 18);
            EXPECT_EQ(d[1], 0x87);
            EXPECT_EQ(d[2], 0x22);
            EXPECT_EQ(d.back(), c.sequence[n]) << c.length << " packet " << n;
            joined.insert(joined.end(), d.begin() + 3, d.end() - 1);
        }
        EXPECT_EQ(joined, bytes) << c.length;
    }
}

TEST(aUEI, SetBytesSequenceNumberWrapsInSevenBits) {
    std::vector<uint8_t> bytes(24 * 130, 0x5A);
    auto packets = setBytesPackets(bytes);
    ASSERT_EQ(packets.size(), 130u);
    EXPECT_EQ(packets[127].back(), 0x80 | 127);
    EXPECT_EQ(packets[128].back(), 0x80 | 0);
    EXPECT_EQ(packets[129].back(), 1);
}

TEST(aUEI, SetBytesRejectsBadArguments) {
    uei request{};
    request.bufferLength = 5;
    aPacket* p = nullptr;
    EXPECT_EQ(aUEI_CreateSetBytesPacket(&request, 0, &p), aErrParam); // no bytes
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aUEI_CreateSetBytesPacket(nullptr, 0, &p), aErrParam);
    EXPECT_EQ(aUEI_CreateSetBytesPacket(&request, 0, nullptr), aErrParam);
}
