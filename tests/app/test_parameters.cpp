// Command-line parsing into Parameters, called in-process so each field can be checked.
#include "CLI_Display.h"
#include "Log.h"
#include "Parameters.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int result;
    Parameters params;
};

Parsed parse(std::vector<std::string> words) {
    static CLI_Display display; // messages go to the test's own stderr
    words.insert(words.begin(), "/usr/local/bin/Updater");
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    Parsed p{0, Parameters()};
    Log::package_bitmask = 0;
    p.result = _get_params(display, static_cast<int>(words.size()), argv.data(), &p.params);
    Log::package_bitmask = 0;
    return p;
}

} // namespace

TEST(Parameters, StartValues) {
    Parsed p = parse({});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.commands.Bits(), 0u);
    EXPECT_EQ(p.params.transport, 1);
    EXPECT_FALSE(p.params.transportGiven);
    EXPECT_EQ(p.params.baudRate, 115200u);
    EXPECT_EQ(p.params.logMode, "a+");
    EXPECT_EQ(p.params.logFile, "Updater.log");
    EXPECT_EQ(p.params.programName, "Updater");
    EXPECT_EQ(p.params.serverUrl.substr(p.params.serverUrl.size() - 6), "/cgi/u");
    EXPECT_TRUE(p.params.build.empty());
}

TEST(Parameters, CommandBits) {
    struct Case {
        std::vector<std::string> words;
        uint32_t bits;
    } cases[] = {
        {{"-B"}, CMD_LIST_BUILDS},
        {{"-L"}, CMD_LIST_LOCAL_BUILDS},
        {{"-D", "-G"}, CMD_DISCOVER | CMD_GET_BUILD},
        {{"-I", "-U", "-N", "-C", "-J"},
         CMD_INFO | CMD_UPDATE | CMD_FINGERPRINT | CMD_CHECK_BIRD | CMD_GET_JWT},
        {{"-Z", "anything"}, CMD_Z},
        {{"-Z"}, 0},                 // a word-taking option standing last is dropped
        {{"-GU", "-d", "12"}, 0},    // letters do not combine
        {{"-g", "-u", "x"}, 0},      // case-sensitive: -u is the server URL, -g nothing
        {{"stray.bird", "-U"}, CMD_UPDATE},
        {{"-B=1"}, 0},               // "=" argument to an option without one
        {{"-OVERRIDE"}, 0},          // sets override only
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.words);
        EXPECT_EQ(p.result, 0) << c.words[0];
        EXPECT_EQ(p.params.commands.Bits(), c.bits) << c.words[0];
    }
}

TEST(Parameters, PrefixMatchingOfLongOptions) {
    for (const char* word : {"-O", "-OV", "-OVERRI", "-OVERRIDE"}) {
        Parsed p = parse({word});
        EXPECT_TRUE(p.params.override) << word;
    }
    for (const char* word : {"-OVERRIDEX", "-o", "-"}) {
        Parsed p = parse({word, "-U"});
        EXPECT_FALSE(p.params.override) << word;
    }
    for (const char* word : {"--help", "--he", "--"}) {
        Parsed p = parse({word});
        EXPECT_TRUE(p.params.help) << word;
        EXPECT_TRUE(p.params.commands.IsSet(CMD_HELP)) << word;
    }
}

TEST(Parameters, SerialNumbers) {
    struct Case {
        std::vector<std::string> words;
        int result;
        uint32_t device;
        uint32_t router;
    } cases[] = {
        {{"-d", "40F5849A"}, 0, 0x40F5849A, 0},
        {{"-d", "0x40F5849A"}, 0, 0x40F5849A, 0},
        {{"-d=0X40f5849a"}, 0, 0x40F5849A, 0},
        {{"-d", "0"}, 1, 0, 0},
        {{"-d", "XYZ"}, 1, 0, 0},
        {{"-d", "0x"}, 1, 0, 0},
        {{"-d="}, 1, 0, 0},
        {{"-d", "1234567890ABCDEF"}, 0, 0x90ABCDEF, 0}, // low 32 bits
        {{"-r", "D272031D"}, 0, 0, 0xD272031D},
        {{"-r", "0xG"}, 1, 0, 0},
        {{"-d", "-U"}, 0, 0, 0}, // -d is dropped and -U read as an option
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.words);
        std::string label = c.words[0] + (c.words.size() > 1 ? " " + c.words[1] : "");
        EXPECT_EQ(p.result, c.result) << label;
        EXPECT_EQ(p.params.deviceSerial, c.device) << label;
        EXPECT_EQ(p.params.routerSerial, c.router) << label;
    }
    EXPECT_TRUE(parse({"-d", "-U"}).params.commands.IsSet(CMD_UPDATE));
}

TEST(Parameters, TransportBuildAndBaud) {
    struct Case {
        std::vector<std::string> words;
        int result;
        int32_t transport;
        const char* build;
        uint32_t baud;
    } cases[] = {
        {{"-t", "USB"}, 0, 1, "", 115200},
        {{"-t", "TCP"}, 0, 2, "", 115200},
        {{"-t", "TCPIPX"}, 0, 2, "", 115200},
        {{"-t=RECOVERY"}, 0, 255, "", 115200},
        {{"-t", "usb"}, 1, 0, "", 115200},
        {{"-b", "99528558"}, 0, 1, "99528558", 115200},
        {{"-b", "12a"}, 0, 1, "0", 115200},
        {{"-b", "4294967297"}, 0, 1, "1", 115200},
        {{"-o", "9600"}, 0, 1, "", 9600},
        {{"-o", "96k"}, 0, 1, "", 0},
    };
    for (const auto& c : cases) {
        Parsed p = parse(c.words);
        EXPECT_EQ(p.result, c.result) << c.words[0];
        EXPECT_EQ(p.params.transport, c.transport) << c.words[0];
        EXPECT_EQ(p.params.build, c.build) << c.words[0];
        EXPECT_EQ(p.params.baudRate, c.baud) << c.words[0];
    }
    EXPECT_TRUE(parse({"-t", "usb"}).params.transportGiven);
}

TEST(Parameters, WordParameters) {
    Parsed p = parse({"-i", "/data", "-f=fw.bird", "-s", "/dev/ttyS1", "-l", "note", "-k",
                      "x.log", "-u", "http://127.0.0.1:1/cgi/u", "-n", "-e", "yes"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.params.storeDirectory, "/data");
    EXPECT_EQ(p.params.birdFile, "fw.bird");
    EXPECT_EQ(p.params.serialPort, "/dev/ttyS1");
    EXPECT_EQ(p.params.logMessage, "note");
    EXPECT_EQ(p.params.logFile, "x.log");
    EXPECT_EQ(p.params.serverUrl, "http://127.0.0.1:1/cgi/u");
    EXPECT_TRUE(p.params.nFlag);
    EXPECT_TRUE(p.params.echo);

    Parsed dropped = parse({"-e", "-U"});
    EXPECT_FALSE(dropped.params.echo);
    EXPECT_TRUE(dropped.params.commands.IsSet(CMD_UPDATE));
}

TEST(Parameters, LogMask) {
    struct Case {
        const char* word;
        bool given;
        uint32_t mask;
    } cases[] = {
        {"0x10000", true, 0x10000}, {"0X1f", true, 0x1f}, {"16", true, 16},
        {"010", true, 10},          {"12abc", true, 0},   {"0xZZ", true, 0},
    };
    for (const auto& c : cases) {
        Parsed p = parse({"-X", c.word});
        EXPECT_EQ(p.result, 0) << c.word; // a bad mask is reported but does not fail
        EXPECT_EQ(p.params.logMaskGiven, c.given) << c.word;
        EXPECT_EQ(p.params.logMask, c.mask) << c.word;
    }
}

TEST(Parameters, HelpStopsParsing) {
    Parsed p = parse({"-d", "XYZ", "-h", "-U", "-d", "40F5849A"});
    EXPECT_EQ(p.result, 0); // help ends with success whatever came before
    EXPECT_FALSE(p.params.commands.IsSet(CMD_UPDATE));
    EXPECT_EQ(p.params.deviceSerial, 0u);

    Parsed before = parse({"-X", "0x10000", "-H"});
    EXPECT_TRUE(before.params.logMaskGiven);
    Parsed after = parse({"-H", "-X", "0x10000"});
    EXPECT_FALSE(after.params.logMaskGiven);
}

TEST(Parameters, ParseGoesOnAfterAnError) {
    Parsed p = parse({"-Y", "-d", "0", "-U", "-t", "bogus", "-b", "7"});
    EXPECT_EQ(p.result, 1);
    EXPECT_TRUE(p.params.commands.IsSet(CMD_UPDATE));
    EXPECT_EQ(p.params.build, "7");
    EXPECT_EQ(p.params.transport, 0);
}

TEST(Parameters, DigitArguments) {
    struct Case {
        const char* text;
        uint32_t hex;
        uint32_t dec;
        bool hexEnd;
        bool decEnd;
    } cases[] = {
        {"", 0, 0, true, true},
        {"40F5849A", 0x40F5849A, 0, true, false},
        {"123", 0x123, 123, true, true},
        {"12 ", 0, 0, false, false},
        {"-1", 0, 0, false, false},
        {"FFFFFFFFF", 0xFFFFFFFF, 0, true, false},
        {"4294967296", 0x94967296, 0, true, true}, // both keep the low 32 bits
    };
    for (const auto& c : cases) {
        char* end = nullptr;
        uint32_t hex = _get_hex_arg(c.text, &end);
        EXPECT_EQ(end != nullptr, c.hexEnd) << c.text;
        if (c.hexEnd) {
            EXPECT_EQ(end, c.text + strlen(c.text));
            EXPECT_EQ(hex, c.hex) << c.text;
        }
        end = nullptr;
        uint32_t dec = _get_int_arg(c.text, &end);
        EXPECT_EQ(end != nullptr, c.decEnd) << c.text;
        if (c.decEnd) {
            EXPECT_EQ(dec, c.dec) << c.text;
        }
    }
    EXPECT_EQ(_get_hex_arg("ABC", nullptr), 0u);
    EXPECT_EQ(_get_int_arg("42", nullptr), 0u);
}
