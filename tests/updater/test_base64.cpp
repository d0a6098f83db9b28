#include "base64.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

struct Freed {
    void operator()(void* p) const { free(p); }
};

// Decoded bytes, or nothing (with the output length checked to be 0) when decoding refused.
std::unique_ptr<unsigned char, Freed> decode(const std::string& text, unsigned long* length) {
    *length = 12345;
    std::unique_ptr<unsigned char, Freed> out(base64_decode(text.data(), text.size(), length));
    if (!out) {
        EXPECT_EQ(*length, 0u) << text;
    }
    return out;
}

} // namespace

TEST(base64, EncodesAndDecodesTheStandardAlphabet) {
    struct Case {
        std::string bytes, text;
    } cases[] = {
        {"", ""},
        {"A", "QQ=="},
        {"AB", "QUI="},
        {"ABC", "QUJD"},
        {"bird\x01\x01", "YmlyZAEB"},
        {std::string("\xff\xfe\x00\x3e\x3f", 5), "//4APj8="},
    };
    for (const auto& c : cases) {
        unsigned long n = 0;
        std::unique_ptr<char, Freed> text(base64_encode(c.bytes.data(), c.bytes.size(), &n));
        ASSERT_TRUE(text);
        EXPECT_EQ(std::string(text.get()), c.text);
        EXPECT_EQ(n, c.text.size());
        if (c.text.empty()) continue;
        auto bytes = decode(c.text, &n);
        ASSERT_TRUE(bytes) << c.text;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.get()), n), c.bytes);
        EXPECT_EQ(bytes.get()[n], 0) << "a NUL follows the data";
    }
}

TEST(base64, EveryByteValueRoundTrips) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t len : {254u, 255u, 256u}) {
        unsigned long n = 0;
        std::unique_ptr<char, Freed> text(base64_encode(all.data(), len, &n));
        ASSERT_TRUE(text);
        auto bytes = decode(std::string(text.get(), n), &n);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes.get()), n), all.substr(0, len));
    }
}

TEST(base64, RefusesTextOutsideTheAlphabetOrWithMisplacedPadding) {
    const char* refused[] = {
        "QUJ",         // 7- and 3-character texts are not whole groups
        "QUJDQUJ",
        "QUJD\nQQ==",  // a line break is not part of the alphabet
        "QUJD\r\n",
        "QU!D",
        "QU D",
        "QUJ\xc3",
        "QQ=A",        // "=" only at the end
        "Q===",
        "====",
        "QQ==QUJD",    // padding in a group that is not the last
        "Q=Q=",
        "QUJD-_==",    // the URL-safe alphabet is another alphabet
    };
    for (const char* text : refused) {
        unsigned long n;
        EXPECT_FALSE(decode(text, &n)) << text;
    }
    unsigned long n = 7;
    EXPECT_EQ(base64_decode(nullptr, 4, &n), nullptr);
    EXPECT_EQ(base64_decode("", 0, &n), nullptr);
    EXPECT_EQ(n, 0u);
}
