// The stream core over a scripted transport, and the file transport.
#include "aStream.h"

#include "TestProcess.h"

#include <deque>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A transport that hands out scripted results: bytes, then aErrNotReady or another code at
// chosen points. Records what is put and written.
struct Script {
    std::deque<int> input; // byte values; -1 stands for aErrNotReady, -2 for aErrEOF
    aErr whenEmpty = aErrNotReady;
    std::vector<uint8_t> output;
    int putCalls = 0, writeCalls = 0, getCalls = 0;
    bool deleted = false;

    void feed(const std::string& s) {
        for (char c : s)
            input.push_back(static_cast<uint8_t>(c));
    }
    void notReady() { input.push_back(-1); }
    void eof() { input.push_back(-2); }
};

aErr sGet(uint8_t* byte, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->getCalls++;
    if (s->input.empty())
        return s->whenEmpty;
    int v = s->input.front();
    s->input.pop_front();
    if (v == -1)
        return aErrNotReady;
    if (v == -2)
        return aErrEOF;
    *byte = static_cast<uint8_t>(v);
    return aErrNone;
}

aErr sPut(uint8_t byte, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->putCalls++;
    s->output.push_back(byte);
    return aErrNone;
}

aErr sWrite(const uint8_t* bytes, size_t count, void* ref) {
    Script* s = static_cast<Script*>(ref);
    s->writeCalls++;
    s->output.insert(s->output.end(), bytes, bytes + count);
    return aErrNone;
}

aErr sDelete(void* ref) {
    static_cast<Script*>(ref)->deleted = true;
    return aErrNone;
}

class StreamCore : public ::testing::Test {
protected:
    void SetUp() override {
        stream = aStream_Create(sGet, sPut, sWrite, sDelete, &script);
        ASSERT_NE(stream, nullptr);
    }
    void TearDown() override {
        if (stream) {
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }
    std::string readString(size_t n) {
        std::string s(n, '\0');
        EXPECT_EQ(aStream_Read(stream, reinterpret_cast<uint8_t*>(&s[0]), n), aErrNone);
        return s;
    }
    Script script;
    aStreamRef stream = nullptr;
};

TEST_F(StreamCore, ReadIsAllOrNothingAndHandsBytesBack) {
    script.feed("A");
    uint8_t two[2] = {0xEE, 0xEE};
    EXPECT_EQ(aStream_Read(stream, two, 2), aErrNotReady);
    EXPECT_EQ(two[0], 0xEE) << "destination must stay untouched";
    uint8_t one = 0;
    EXPECT_EQ(aStream_Read(stream, &one, 1), aErrNone);
    EXPECT_EQ(one, 'A');
    int getsBefore = script.getCalls;
    script.feed("BC");
    EXPECT_EQ(readString(2), "BC");
    EXPECT_EQ(script.getCalls - getsBefore, 2);
}

TEST_F(StreamCore, ReadUpToEndOfInputDeliversWhatCame) {
    script.feed("xy");
    script.eof();
    uint8_t buf[4] = {0};
    EXPECT_EQ(aStream_Read(stream, buf, 4), aErrEOF);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(buf[1], 'y');
}

TEST_F(StreamCore, OtherErrorsLoseTheBytesOfTheCall) {
    script.feed("ab");
    script.whenEmpty = aErrIO;
    uint8_t buf[3];
    EXPECT_EQ(aStream_Read(stream, buf, 3), aErrIO);
    script.whenEmpty = aErrNotReady;
    EXPECT_EQ(aStream_Read(stream, buf, 1), aErrNotReady);
}

// The push-back ring grows in steps of 512 and keeps the order, also when the bytes it holds
// wrap around the end of the ring.
TEST_F(StreamCore, PushBackGrowsWithoutReorderingAcrossTheWrap) {
    uint32_t next = 0;
    auto feedCounting = [&](size_t n) {
        for (size_t i = 0; i < n; i++)
            script.input.push_back(static_cast<int>(next++ % 251));
    };
    auto expectCounting = [&](const std::vector<uint8_t>& got, uint32_t first) {
        for (size_t i = 0; i < got.size(); i++)
            ASSERT_EQ(got[i], (first + i) % 251) << "at " << i;
    };
    std::vector<uint8_t> buf(2000);
    feedCounting(300);
    EXPECT_EQ(aStream_Read(stream, buf.data(), 400), aErrNotReady); // 300 held at 0..299
    std::vector<uint8_t> first(200);
    EXPECT_EQ(aStream_Read(stream, first.data(), 200), aErrNone); // read index now 200
    expectCounting(first, 0);
    feedCounting(1000);
    // Takes the 100 held bytes, then 1000 from the transport, runs dry and hands 1100 back:
    // they start at index 300 of a 512-byte ring, wrap, and force growth twice.
    EXPECT_EQ(aStream_Read(stream, buf.data(), 2000), aErrNotReady);
    std::vector<uint8_t> all(1100);
    EXPECT_EQ(aStream_Read(stream, all.data(), all.size()), aErrNone);
    expectCounting(all, 200);
    EXPECT_EQ(aStream_Read(stream, buf.data(), 1), aErrNotReady);
}

TEST_F(StreamCore, RecordReads) {
    const uint8_t nl = '\n';
    uint8_t buf[16];
    size_t length = 99;

    // Maximum length reached: exactly that many bytes, the rest stays in the stream.
    script.feed("abcdef\n");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 4, &nl, 1), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "abcd");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, &nl, 1), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "ef");

    // Running dry mid-record: the retry gets the whole record.
    script.feed("gh");
    script.notReady();
    script.feed("i\n");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, &nl, 1), aErrNotReady);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, &nl, 1), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "ghi");

    // End of input with bytes stored: they come with aErrNone, then aErrEOF.
    script.feed("jk");
    script.whenEmpty = aErrEOF;
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, &nl, 1), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "jk");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, &nl, 1), aErrEOF);
    EXPECT_EQ(length, 0u);

    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, &nl, 0), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, nullptr, 1), aErrParam);
}

// A terminator that matches partly and breaks off: the matched bytes are record data, and a
// fresh match can start on the breaking byte. Nothing is dropped.
TEST_F(StreamCore, BrokenMultiByteTerminatorKeepsItsBytes) {
    const uint8_t crlf[2] = {'\r', '\n'};
    uint8_t buf[16];
    size_t length = 0;
    script.feed("ab\r\r\nc\rd\r\n");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, crlf, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "ab\r");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, crlf, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "c\rd");
    // A break-off at the maximum length leaves the bytes that did not fit for the next read.
    script.feed("xy\rz\r\n");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 3, crlf, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "xy\r");
    EXPECT_EQ(aStream_ReadRecord(stream, buf, &length, 16, crlf, 2), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), length), "z");
}

TEST_F(StreamCore, CStrings) {
    char text[4];
    script.input.insert(script.input.end(), {'h', 'e', 'l', 'l', 'o', 0});
    EXPECT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "hel");
    EXPECT_EQ(aStream_ReadCString(stream, text, sizeof text), aErrNone);
    EXPECT_STREQ(text, "lo");

    char line[16];
    script.feed("OK\r\nrest");
    EXPECT_EQ(aStream_ReadCStringRecord(stream, line, sizeof line, "\r\n"), aErrNone);
    EXPECT_STREQ(line, "OK");

    EXPECT_EQ(aStream_WriteCString(stream, "hi"), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(stream, "A 1", "\r\n"), aErrNone);
    const std::vector<uint8_t> expected = {'h', 'i', 0, 'A', ' ', '1', '\r', '\n', 0};
    EXPECT_EQ(script.output, expected);
}

TEST_F(StreamCore, WriteUsesPutForOneByteAndWriteForMore) {
    const uint8_t bytes[3] = {1, 2, 3};
    EXPECT_EQ(aStream_Write(stream, bytes, 1), aErrNone);
    EXPECT_EQ(script.putCalls, 1);
    EXPECT_EQ(script.writeCalls, 0);
    EXPECT_EQ(aStream_Write(stream, bytes, 3), aErrNone);
    EXPECT_EQ(script.writeCalls, 1);
    EXPECT_EQ(script.putCalls, 1);
    EXPECT_EQ(script.output, (std::vector<uint8_t>{1, 1, 2, 3}));
}

TEST_F(StreamCore, FlushCopiesUntilEndOfInput) {
    Script sink;
    aStreamRef out = aStream_Create(nullptr, sPut, nullptr, sDelete, &sink);
    ASSERT_NE(out, nullptr);
    script.feed("copy me");
    script.whenEmpty = aErrEOF;
    EXPECT_EQ(aStream_Flush(stream, out), aErrNone);
    EXPECT_EQ(std::string(sink.output.begin(), sink.output.end()), "copy me");
    EXPECT_EQ(aStream_Flush(out, stream), aErrMode) << "a source without get";
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_TRUE(sink.deleted);
}

TEST(StreamContract, InvalidStreamsAndMissingOperations) {
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
    EXPECT_EQ(aStream_Write(nullptr, &b, 1), aErrParam);

    Script s;
    aStreamRef outputOnly = aStream_Create(nullptr, sPut, sWrite, nullptr, &s);
    ASSERT_NE(outputOnly, nullptr);
    EXPECT_EQ(aStream_Read(outputOnly, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Read(outputOnly, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Destroy(&outputOnly), aErrNone);
    EXPECT_EQ(outputOnly, nullptr);
    EXPECT_EQ(aStream_Destroy(&outputOnly), aErrParam) << "a cleared variable";
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);

    aStreamRef inputOnly = aStream_Create(sGet, nullptr, nullptr, sDelete, &s);
    ASSERT_NE(inputOnly, nullptr);
    EXPECT_EQ(aStream_Write(inputOnly, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&inputOnly), aErrNone);
    EXPECT_TRUE(s.deleted);
}

TEST(StreamFile, WriteThenReadBackAllByteValues) {
    TempDir dir;
    std::string path = dir.file("bytes");
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; i++)
        all[i] = static_cast<uint8_t>(i);

    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Write(out, all.data(), all.size()), aErrNone);
    EXPECT_EQ(aStream_WriteCStringRecord(out, "line", "\n"), aErrNone);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(out, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);

    aStreamRef in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    std::vector<uint8_t> back(256);
    EXPECT_EQ(aStream_Read(in, back.data(), back.size()), aErrNone);
    EXPECT_EQ(back, all);
    char line[16];
    EXPECT_EQ(aStream_ReadCStringRecord(in, line, sizeof line, "\n"), aErrNone);
    EXPECT_STREQ(line, "line");
    EXPECT_EQ(aStream_Read(in, &b, 1), aErrNone) << "the zero byte after the terminator";
    EXPECT_EQ(b, 0);
    EXPECT_EQ(aStream_Read(in, &b, 1), aErrEOF);
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST(StreamFile, ConstructorsRefuseWhatTheyCannotOpen) {
    TempDir dir;
    aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
    EXPECT_EQ(aStream_CreateFileInput(dir.file("missing").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("no/such/folder").c_str(), &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileOutput(dir.file("x").c_str(), nullptr), aErrResource);
}

} // namespace
