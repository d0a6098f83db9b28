#include "aPacket.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

// Owns a packet for the length of a test.
struct PacketGuard {
    aPacket* p;
    explicit PacketGuard(aPacket* packet) : p(packet) {}
    ~PacketGuard() {
        if (p) (void)aPacket_Destroy(&p);
    }
};

} // namespace

TEST(aPacket, CreateIsEmptyAndValid) {
    PacketGuard g(aPacket_Create());
    ASSERT_NE(g.p, nullptr);
    EXPECT_TRUE(aVALIDPACKET(g.p));
    EXPECT_EQ(g.p->check, 0xBEEF);
    EXPECT_EQ(g.p->curSize, 0);
    EXPECT_EQ(g.p->address, 0);
    EXPECT_EQ(g.p->dataSize, 0);
    for (uint8_t b : g.p->data)
        EXPECT_EQ(b, 0);
    EXPECT_FALSE(aPacket_IsComplete(g.p));
}

TEST(aPacket, CreateWithDataLimits) {
    uint8_t data[29];
    for (int i = 0; i < 29; ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);

    struct Case {
        uint8_t address;
        size_t length;
        bool withData;
        bool created;
    } cases[] = {
        {2, 0, true, true},   {2, 28, true, true},  {2, 29, false, false},
        {2, 29, true, false}, {2, 0, false, false}, {173, 0, true, true},
        {175, 1, true, true}, {0, 3, true, true},   {2, 1000, true, false},
    };
    for (const auto& c : cases) {
        PacketGuard g(aPacket_CreateWithData(c.address, c.length, c.withData ? data : nullptr));
        ASSERT_EQ(g.p != nullptr, c.created) << c.length;
        if (!g.p) continue;
        EXPECT_EQ(g.p->address, c.address);
        EXPECT_EQ(g.p->dataSize, c.length);
        EXPECT_EQ(g.p->curSize, c.length + 2);
        EXPECT_TRUE(aPacket_IsComplete(g.p));
        for (size_t i = 0; i < 28; ++i)
            EXPECT_EQ(g.p->data[i], i < c.length ? data[i] : 0) << i;
    }
}

TEST(aPacket, CopyIsIndependent) {
    const uint8_t data[] = {3, 0x41, 0x22, 9};
    PacketGuard a(aPacket_CreateWithData(6, sizeof(data), data));
    PacketGuard b(aPacket_Copy(a.p));
    ASSERT_NE(b.p, nullptr);
    ASSERT_NE(b.p, a.p);
    EXPECT_EQ(b.p->address, 6);
    EXPECT_EQ(b.p->dataSize, 4);
    EXPECT_EQ(b.p->curSize, 6);
    EXPECT_EQ(0, memcmp(b.p->data, data, sizeof(data)));
    a.p->data[0] = 77;
    EXPECT_EQ(b.p->data[0], 3);

    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
    aPacket forged{};
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);
}

TEST(aPacket, Accessors) {
    struct Case {
        std::vector<uint8_t> data;
        aErr cmdErr, optErr, idxErr;
        uint8_t cmd, opt, idx;
    } cases[] = {
        {{}, aErrPacket, aErrPacket, aErrPacket, 0, 0, 0},
        {{0x5D}, aErrNone, aErrPacket, aErrPacket, 0x5D, 0, 0},
        {{3, 0xC8}, aErrNone, aErrNone, aErrPacket, 3, 8, 0},
        {{3, 0x48, 0xFF}, aErrNone, aErrNone, aErrNone, 3, 8, 0x1F},
        {{0xFF, 0xFF, 0x25, 1}, aErrNone, aErrNone, aErrNone, 0xFF, 0x3F, 5},
    };
    for (const auto& c : cases) {
        const uint8_t none = 0;
        PacketGuard g(
            aPacket_CreateWithData(2, c.data.size(), c.data.empty() ? &none : c.data.data()));
        ASSERT_NE(g.p, nullptr);
        uint8_t v = 0xEE;
        EXPECT_EQ(aPacket_GetCmd(g.p, &v), c.cmdErr);
        EXPECT_EQ(v, c.cmd);
        v = 0xEE;
        EXPECT_EQ(aPacket_GetOption(g.p, &v), c.optErr);
        EXPECT_EQ(v, c.opt);
        v = 0xEE;
        EXPECT_EQ(aPacket_GetIndex(g.p, &v), c.idxErr);
        EXPECT_EQ(v, c.idx);
        EXPECT_EQ(aPacket_GetCmd(g.p, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetOption(g.p, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetIndex(g.p, nullptr), aErrParam);
    }
    uint8_t v = 0;
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

TEST(aPacket, ResetClearsEverythingButCheck) {
    const uint8_t data[] = {1, 2, 3};
    PacketGuard g(aPacket_CreateWithData(8, 3, data));
    EXPECT_EQ(aPacket_Reset(g.p), aErrNone);
    EXPECT_TRUE(aVALIDPACKET(g.p));
    EXPECT_EQ(g.p->curSize, 0);
    EXPECT_EQ(g.p->address, 0);
    EXPECT_EQ(g.p->dataSize, 0);
    EXPECT_EQ(g.p->data[0], 0);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
}

// Feeds bytes one by one; returns the result of each call.
static std::vector<aErr> feed(aPacket* packet, const std::vector<uint8_t>& bytes) {
    std::vector<aErr> results;
    for (uint8_t b : bytes)
        results.push_back(aPacket_AddByte(packet, b));
    return results;
}

TEST(aPacket, AddByteAssembly) {
    std::vector<uint8_t> full = {0x04, 28};
    for (int i = 0; i < 28; ++i)
        full.push_back(static_cast<uint8_t>(i));
    std::vector<uint8_t> overrun = full;
    overrun.push_back(0x99);
    std::vector<uint8_t> bigLength = {0x02, 29};
    for (int i = 0; i < 40; ++i)
        bigLength.push_back(0);

    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        aErr last;        // result of the last byte
        bool allOkBefore; // every earlier byte succeeded
        bool complete;
    } cases[] = {
        {"two data bytes", {0x04, 0x02, 0x11, 0x22}, aErrNone, true, true},
        {"odd address", {0x05}, aErrPacket, true, false},
        {"zero address", {0x00}, aErrPacket, true, false},
        {"link-control address is odd", {0xAD}, aErrPacket, true, false},
        {"length above 28", {0x02, 29}, aErrPacket, true, false},
        {"empty packet", {0xFE, 0x00}, aErrNone, true, true},
        {"byte after empty packet", {0xFE, 0x00, 0x05}, aErrPacket, true, false},
        {"byte after complete packet", {0x04, 0x01, 0x11, 0x22}, aErrPacket, true, false},
        {"28 data bytes", full, aErrNone, true, true},
        {"31st framing byte", overrun, aErrOverrun, true, false},
        // The refused length stays stored; 29 + 2 fed bytes must still not make it complete.
        {"bad length then more bytes", bigLength, aErrOverrun, false, false},
    };
    for (const auto& c : cases) {
        PacketGuard g(aPacket_Create());
        auto results = feed(g.p, c.bytes);
        EXPECT_EQ(results.back(), c.last) << c.name;
        if (c.allOkBefore) {
            for (size_t i = 0; i + 1 < results.size(); ++i)
                EXPECT_EQ(results[i], aErrNone) << c.name << " byte " << i;
        }
        EXPECT_EQ(aPacket_IsComplete(g.p), c.complete) << c.name;
    }

    PacketGuard g(aPacket_Create());
    (void)feed(g.p, {0x04, 0x02, 0x11, 0x22});
    EXPECT_EQ(g.p->address, 4);
    EXPECT_EQ(g.p->dataSize, 2);
    EXPECT_EQ(g.p->data[0], 0x11);
    EXPECT_EQ(g.p->data[1], 0x22);
    EXPECT_EQ(aPacket_AddByte(nullptr, 2), aErrParam);
}

TEST(aPacket, OverrunPersistsUntilReset) {
    PacketGuard g(aPacket_Create());
    std::vector<uint8_t> bytes = {0x02, 28};
    bytes.resize(30, 0x55);
    for (aErr e : feed(g.p, bytes))
        ASSERT_EQ(e, aErrNone);
    // A caller that ignores the error must never see the count wrap back to a fresh packet.
    for (int i = 0; i < 600; ++i)
        ASSERT_EQ(aPacket_AddByte(g.p, 0x02), aErrOverrun) << i;
    ASSERT_EQ(aPacket_Reset(g.p), aErrNone);
    for (aErr e : feed(g.p, {0x06, 0x01, 0x17}))
        EXPECT_EQ(e, aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(g.p));
}

TEST(aPacket, DestroyClearsCallerPointer) {
    aPacket* p = aPacket_Create();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

    aPacket forged{};
    aPacket* fp = &forged;
    EXPECT_EQ(aPacket_Destroy(&fp), aErrParam);
    EXPECT_EQ(fp, &forged);
    EXPECT_FALSE(aPacket_IsComplete(nullptr));
}
