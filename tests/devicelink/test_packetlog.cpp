// The packet-log ring, its text lines, the per-link fields and the background writer.
#include "TestProcess.h"
#include "aLogger.h"
#include "aPacketDebug.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct Record {
    uint8_t direction;
    Bytes bytes;
    bool operator==(const Record& o) const { return direction == o.direction && bytes == o.bytes; }
};

Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = uint8_t(seed + i);
    return bytes;
}

std::vector<Record> drain(aPacketLog* ring) {
    std::vector<Record> records;
    for (;;) {
        uint8_t direction = 0;
        uint8_t buffer[255];
        uint32_t length = sizeof buffer;
        aErr e = aPacketLog_Get(ring, &direction, &length, buffer);
        if (e == aErrNotFound)
            return records;
        EXPECT_EQ(e, aErrNone);
        if (e != aErrNone)
            return records;
        records.push_back({direction, Bytes(buffer, buffer + length)});
    }
}

// ---- The ring -----------------------------------------------------------------------------

TEST(PacketLogRing, SixteenByteRing) {
    aPacketLog* ring = aPacketLog_Create(16);
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(aPacketLog_Put(ring, 1, 14, pattern(14, 0).data()), aErrOverrun);
    EXPECT_TRUE(drain(ring).empty()); // nothing changed
    ASSERT_EQ(aPacketLog_Put(ring, 1, 13, pattern(13, 0).data()), aErrNone); // 15 of 16 bytes
    ASSERT_EQ(aPacketLog_Put(ring, 2, 0, nullptr), aErrNone); // first drops the 13-byte record
    EXPECT_EQ(drain(ring), (std::vector<Record>{{2, {}}}));
    EXPECT_EQ(aPacketLog_Destroy(&ring), aErrNone);
    EXPECT_EQ(ring, nullptr);
    EXPECT_EQ(aPacketLog_Destroy(&ring), aErrNone);
}

TEST(PacketLogRing, FullRingDropsTheOldest) {
    aPacketLog* ring = aPacketLog_Create(64);
    ASSERT_NE(ring, nullptr);
    for (uint8_t i = 0; i < 5; ++i)
        ASSERT_EQ(aPacketLog_Put(ring, 1, 10, pattern(10, i).data()), aErrNone);
    std::vector<Record> five;
    for (uint8_t i = 0; i < 5; ++i)
        five.push_back({1, pattern(10, i)});
    EXPECT_EQ(drain(ring), five); // 5 x 12 = 60 bytes < 64: all kept

    for (uint8_t i = 0; i < 6; ++i)
        ASSERT_EQ(aPacketLog_Put(ring, 1, 10, pattern(10, i).data()), aErrNone);
    five.clear();
    for (uint8_t i = 1; i < 6; ++i)
        five.push_back({1, pattern(10, i)});
    EXPECT_EQ(drain(ring), five); // the sixth dropped the oldest
    EXPECT_EQ(aPacketLog_Destroy(&ring), aErrNone);
}

// Random puts and gets against a plain model of the drop-oldest rule, across many wraps.
TEST(PacketLogRing, MatchesTheDropOldestModel) {
    for (uint32_t size : {3u, 17u, 64u, 301u}) {
        aPacketLog* ring = aPacketLog_Create(size);
        ASSERT_NE(ring, nullptr);
        std::deque<Record> model;
        uint32_t used = 0;
        std::mt19937 random(size);
        for (int step = 0; step < 20000; ++step) {
            if (random() % 3 != 0) {
                uint32_t length = random() % (size + 2);
                uint8_t direction = uint8_t(1 + random() % 3);
                Bytes bytes = pattern(length, uint8_t(step));
                aErr e = aPacketLog_Put(ring, direction, length, bytes.data());
                if (length > 255) {
                    ASSERT_EQ(e, aErrSize);
                    continue;
                }
                if (length + 2 >= size) {
                    ASSERT_EQ(e, aErrOverrun) << size << " " << length;
                    continue;
                }
                ASSERT_EQ(e, aErrNone);
                while (length + 2 >= size - used) {
                    used -= uint32_t(model.front().bytes.size()) + 2;
                    model.pop_front();
                }
                model.push_back({direction, bytes});
                used += length + 2;
            } else {
                uint8_t direction = 0;
                uint8_t buffer[512];
                uint32_t length = sizeof buffer;
                aErr e = aPacketLog_Get(ring, &direction, &length, buffer);
                if (model.empty()) {
                    ASSERT_EQ(e, aErrNotFound);
                    continue;
                }
                ASSERT_EQ(e, aErrNone);
                ASSERT_EQ((Record{direction, Bytes(buffer, buffer + length)}), model.front())
                    << "size " << size << " step " << step;
                used -= length + 2;
                model.pop_front();
            }
        }
        EXPECT_EQ(aPacketLog_Destroy(&ring), aErrNone);
    }
}

TEST(PacketLogRing, ShortBufferAndBadArguments) {
    aPacketLog* ring = aPacketLog_Create(600);
    ASSERT_NE(ring, nullptr);
    ASSERT_EQ(aPacketLog_Put(ring, 3, 40, pattern(40, 7).data()), aErrNone);
    uint8_t direction = 0, buffer[255];
    uint32_t length = 39;
    EXPECT_EQ(aPacketLog_Get(ring, &direction, &length, buffer), aErrOverrun);
    EXPECT_EQ(length, 40u);
    length = 40;
    ASSERT_EQ(aPacketLog_Get(ring, &direction, &length, buffer), aErrNone); // it stayed
    EXPECT_EQ(Bytes(buffer, buffer + 40), pattern(40, 7));
    EXPECT_EQ(direction, 3);

    EXPECT_EQ(aPacketLog_Put(ring, 3, 256, pattern(256, 0).data()), aErrSize);
    EXPECT_EQ(aPacketLog_Put(ring, 3, 255, pattern(255, 0).data()), aErrNone);
    EXPECT_EQ(aPacketLog_Put(ring, 3, 1, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Put(nullptr, 3, 0, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Get(ring, nullptr, &length, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Destroy(&ring), aErrNone);
}

// ---- Text lines ---------------------------------------------------------------------------

TEST(PacketLogText, LinesByDirection) {
    struct Case {
        uint8_t direction;
        Bytes bytes;
        std::string line;
    } cases[] = {
        {1, {0x02, 0x03, 0x03, 0x48, 0x20}, "5 > 0x2 0x3 0x3 0x48 0x20 \r\n"},
        {2, {0x04, 0x04, 0x03, 0x08, 0xFF, 0x00}, "6 < 0x4 0x4 0x3 0x8 0xFF 0x0 \r\n"},
        {3, {'S', 'T', 'A', 'R', 'T', 0}, std::string("6 < START\0\r\n", 12)},
        {2, {}, "0 < \r\n"},
        {7, {0xAB}, "1 < 0xAB \r\n"},
    };
    TempDir dir;
    std::string path = dir.file("packets.log");
    writeFile(path, "before\n");
    aFileRef file = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(file, nullptr);
    std::string expected = "before\n";
    for (const Case& c : cases) {
        ASSERT_EQ(aPacketDebug_WriteLine(file, c.direction, uint32_t(c.bytes.size()),
                                         c.bytes.data()),
                  aErrNone);
        expected += c.line;
    }
    EXPECT_EQ(aPacketDebug_WriteLine(file, 3, 256, pattern(256, 0).data()), aErrParam);
    EXPECT_EQ(aPacketDebug_WriteLine(nullptr, 1, 0, nullptr), aErrParam);
    ASSERT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(readFile(path), expected);

    // The longest line fits the advertised bound.
    char line[aPACKETLOG_MAX_LINE];
    size_t length = 0;
    Bytes all(255, 0xFF);
    ASSERT_EQ(aPacketDebug_FormatLine(2, 255, all.data(), line, sizeof line, &length), aErrNone);
    EXPECT_EQ(length, aPACKETLOG_MAX_LINE);
}

// ---- Per-link fields ----------------------------------------------------------------------

TEST(LinkPacketLog, SizeEnableReadWriteAndTheirErrors) {
    aLinkPacketLog log;
    uint8_t direction = 0, buffer[255];
    uint32_t length = sizeof buffer;
    EXPECT_EQ(aLinkPacketLog_Read(&log, &direction, &length, buffer), aErrNotReady);
    EXPECT_EQ(aLinkPacketLog_Write(&log, 3, 1, buffer), aErrNotReady);
    EXPECT_EQ(aLinkPacketLog_Disable(&log), aErrNotReady);
    EXPECT_EQ(aLinkPacketLog_SetLogSize(&log, aPACKETLOG_MAX_SIZE + 1), aErrParam);
    EXPECT_EQ(aLinkPacketLog_SetLogSize(&log, aPACKETLOG_MAX_SIZE), aErrNone);
    EXPECT_EQ(aLinkPacketLog_SetLogSize(&log, 16), aErrNone);

    // Without a ring nothing is recorded.
    aPacket* packet = aPacket_CreateWithData(2, 3, Bytes{0x03, 0x48, 0x20}.data());
    ASSERT_NE(packet, nullptr);
    aLinkPacketLog_Record(&log, aPACKETLOG_SENT, packet);

    ASSERT_EQ(aLinkPacketLog_Enable(&log), aErrNone);
    EXPECT_EQ(aLinkPacketLog_Enable(&log), aErrNone);
    EXPECT_EQ(aLinkPacketLog_Disable(&log), aErrNone);
    EXPECT_EQ(aLinkPacketLog_SetLogSize(&log, 100), aErrBusy);
    EXPECT_EQ(aLinkPacketLog_Read(&log, &direction, &length, buffer), aErrNotFound);

    aLinkPacketLog_Record(&log, aPACKETLOG_SENT, packet);
    length = sizeof buffer;
    ASSERT_EQ(aLinkPacketLog_Read(&log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(direction, aPACKETLOG_SENT);
    EXPECT_EQ(Bytes(buffer, buffer + length), (Bytes{0x02, 0x03, 0x03, 0x48, 0x20}));

    // The ring has the 16 bytes asked for: a 13-byte note is dropped by the next record.
    EXPECT_EQ(aLinkPacketLog_Write(&log, 3, 14, pattern(14, 0).data()), aErrOverrun);
    ASSERT_EQ(aLinkPacketLog_Write(&log, 3, 13, pattern(13, 0).data()), aErrNone);
    aLinkPacketLog_Record(&log, aPACKETLOG_RECEIVED, packet);
    length = sizeof buffer;
    ASSERT_EQ(aLinkPacketLog_Read(&log, &direction, &length, buffer), aErrNone);
    EXPECT_EQ(direction, aPACKETLOG_RECEIVED);
    EXPECT_EQ(aLinkPacketLog_Write(&log, 3, 256, pattern(256, 0).data()), aErrSize);

    aLinkPacketLog_Release(&log);
    EXPECT_EQ(aLinkPacketLog_Disable(&log), aErrNotReady);
    // Negative sizes mean the default (65536): 13- and 0-byte records now both stay.
    EXPECT_EQ(aLinkPacketLog_SetLogSize(&log, -5), aErrNone);
    ASSERT_EQ(aLinkPacketLog_Enable(&log), aErrNone);
    ASSERT_EQ(aLinkPacketLog_Write(&log, 3, 13, pattern(13, 0).data()), aErrNone);
    ASSERT_EQ(aLinkPacketLog_Write(&log, 3, 0, nullptr), aErrNone);
    for (int i = 0; i < 2; ++i) {
        length = sizeof buffer;
        EXPECT_EQ(aLinkPacketLog_Read(&log, &direction, &length, buffer), aErrNone) << i;
    }
    aLinkPacketLog_Release(&log);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
}

// ---- The background writer ----------------------------------------------------------------

// The test's "links": the logger procedure finds the fields by its linkID.
struct TestLink {
    aLinkPacketLog log;
    aLoggerRef logger = nullptr;
    std::atomic<int> selfResults{-1}; // results of disable and destroy from the logger thread
};
TestLink gLinks[2];

void writeNext(aFileRef file, uint32_t linkID) {
    aLinkPacketLog_WriteNext(&gLinks[linkID].log, file);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
        result.push_back(text.substr(start, at - start));
    return result;
}

TEST(Logger, CopiesRecordsOfConcurrentWritersIntoTheFile) {
    TestLink& link = gLinks[0];
    ASSERT_EQ(aLinkPacketLog_Enable(&link.log), aErrNone);
    TempDir dir;
    std::string path = dir.file("link.log");
    aLoggerRef logger = aLogger_Create(0, writeNext, path.c_str());
    ASSERT_NE(logger, nullptr);
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);

    // Two threads record like the link's receive and transmit threads, a third adds notes.
    constexpr int kEach = 300;
    auto producer = [&](uint8_t direction, uint8_t address) {
        for (int i = 0; i < kEach; ++i) {
            uint8_t data[3] = {uint8_t(i), uint8_t(i >> 8), 0x20};
            aPacket* packet = aPacket_CreateWithData(address, 3, data);
            aLinkPacketLog_Record(&link.log, direction, packet);
            (void)aPacket_Destroy(&packet);
        }
    };
    std::thread rx(producer, aPACKETLOG_RECEIVED, 4);
    std::thread tx(producer, aPACKETLOG_SENT, 6);
    std::thread notes([&] {
        for (int i = 0; i < 50; ++i) {
            std::string note = "note " + std::to_string(i) + std::string(100, '.');
            EXPECT_EQ(aLinkPacketLog_Write(&link.log, aPACKETLOG_NOTE, uint32_t(note.size()),
                                           reinterpret_cast<const uint8_t*>(note.data())),
                      aErrNone);
        }
    });
    rx.join();
    tx.join();
    notes.join();
    const size_t total = 2 * kEach + 50;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (lines(readFile(path)).size() < total && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(aLogger_Disable(logger), aErrNone);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);

    std::vector<std::string> written = lines(readFile(path));
    ASSERT_EQ(written.size(), total);
    int nextFrom[2] = {0, 0}, notesSeen = 0;
    for (const std::string& line : written) {
        if (line.find(" < note ") != std::string::npos) {
            std::string note = "note " + std::to_string(notesSeen) + std::string(100, '.');
            EXPECT_EQ(line, std::to_string(note.size()) + " < " + note);
            ++notesSeen;
            continue;
        }
        // Each thread's packets appear whole and in order.
        bool sent = line.rfind("5 > 0x6 0x3 ", 0) == 0;
        ASSERT_TRUE(sent || line.rfind("5 < 0x4 0x3 ", 0) == 0) << line;
        int& i = nextFrom[sent ? 1 : 0];
        std::ostringstream expected;
        expected << "5 " << (sent ? "> 0x6" : "< 0x4") << " 0x3 0x" << std::uppercase
                 << std::hex << (i & 0xFF) << " 0x" << (i >> 8) << " 0x20 ";
        EXPECT_EQ(line, expected.str());
        ++i;
    }
    EXPECT_EQ(nextFrom[0], kEach);
    EXPECT_EQ(nextFrom[1], kEach);
    EXPECT_EQ(notesSeen, 50);

    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
    aLinkPacketLog_Release(&link.log);
}

// From its own thread a logger neither stops nor frees itself.
void selfStopper(aFileRef, uint32_t linkID) {
    TestLink& link = gLinks[linkID];
    if (link.selfResults.load() < 0) {
        aErr disabled = aLogger_Disable(link.logger);
        aErr destroyed = aLogger_Destroy(&link.logger);
        link.selfResults.store(int(disabled) << 8 | int(destroyed));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

TEST(Logger, OwnThreadAndLifecycle) {
    TempDir dir;
    EXPECT_EQ(aLogger_Create(1, nullptr, dir.file("x.log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(1, selfStopper, dir.file("missing/x.log").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(1, selfStopper, nullptr), nullptr);
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLoggerRef none = nullptr;
    EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);

    TestLink& link = gLinks[1];
    link.logger = aLogger_Create(1, selfStopper, dir.file("self.log").c_str());
    ASSERT_NE(link.logger, nullptr);
    aLoggerRef logger = link.logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (link.selfResults.load() < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(link.selfResults.load(), int(aErrNone) << 8 | int(aErrBusy));
    EXPECT_EQ(link.logger, logger); // not freed, not cleared
    // Stopped and started again from outside, then destroyed while running.
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
}

} // namespace
