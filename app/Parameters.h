// The parsed command line and the functions that fill it.
#ifndef KORVEL_PARAMETERS_H
#define KORVEL_PARAMETERS_H

#include <cstdint>
#include <string>

class CLI_Display;

enum COMMANDS : uint32_t {
    CMD_DISCOVER = 0x1,
    CMD_UPDATE = 0x2,
    CMD_LIST_BUILDS = 0x4,
    CMD_GET_BUILD = 0x8,
    CMD_INFO = 0x10,
    CMD_CHECK_BIRD = 0x20,
    CMD_FINGERPRINT = 0x40,
    CMD_Z = 0x80,
    CMD_GET_JWT = 0x100,
    CMD_LIST_LOCAL_BUILDS = 0x200,
    CMD_HELP = 0x80000000,
};

// The commands that make a run do something; with none of them the usage text is shown.
constexpr uint32_t CMD_ANY_ACTION = 0x307FF;

class CommandsClass {
public:
    void Set(COMMANDS c) { bits_ |= c; }
    bool IsSet(COMMANDS c) const { return (bits_ & c) != 0; }
    uint32_t Bits() const { return bits_; }

private:
    uint32_t bits_ = 0;
};

enum TransportType : int32_t { TRANSPORT_NONE = 0, TRANSPORT_USB = 1, TRANSPORT_TCPIP = 2, TRANSPORT_RECOVER = 255 };

struct Parameters {
    CommandsClass commands;
    uint32_t deviceSerial = 0;
    uint32_t routerSerial = 0;
    int32_t transport = TRANSPORT_USB;
    bool transportGiven = false;
    std::string serialPort;
    uint32_t baudRate = 115200;
    uint8_t moduleAddress = 0;
    std::string birdFile;
    std::string logMessage;
    std::string build;
    bool echo = false;
    std::string serverUrl;
    bool nFlag = false;
    std::string storeDirectory;
    std::string programName;
    std::string homeDirectory;
    std::string logMode = "a+";
    std::string logFile = "Updater.log";
    // Reserved: nothing uses these; _release_params frees the buffer if one is held.
    bool reservedFlag = false;
    uint8_t* reservedBuffer = nullptr;
    uint64_t reserved64[3] = {0, 0, 0};
    uint32_t reserved32[2] = {0, 0};
    bool override = false;
    uint32_t logMask = 0;
    bool logMaskGiven = false;
    bool help = false;

    Parameters();
};

// Fills params from the command line; reports every error at once as an ERROR message and goes
// on parsing. Returns 0 when the command line is acceptable, 1 otherwise. A help option ends
// parsing with 0 whatever was reported before it.
int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params);

// Cross-option checks; accepts everything.
int _validate_params(Parameters* params);

// Frees the reserved buffer if one is held.
void _release_params(Parameters* params);

// Converts text made only of hexadecimal (respectively decimal) digits, the empty text included,
// to its low 32 bits and sets *end to the end of the text. Any other text, or a null end, gives 0
// and leaves *end untouched.
uint32_t _get_hex_arg(const char* text, char** end);
uint32_t _get_int_arg(const char* text, char** end);

#endif
