#include "Parameters.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "AppInfo.h"
#include "CLI_Display.h"
#include "Log.h"
#include "aDirectory.h"

namespace {

enum OptionKind { KIND_COMMAND, KIND_HELP, KIND_PARAMETER };

enum OptionId {
    OPT_B, OPT_L, OPT_D, OPT_G, OPT_I, OPT_U, OPT_OVERRIDE, OPT_N, OPT_Y, OPT_C, OPT_J,
    OPT_h, OPT_H, OPT_HELP,
    OPT_n, OPT_X, OPT_Z, OPT_i, OPT_b, OPT_d, OPT_t, OPT_f, OPT_r, OPT_s, OPT_o, OPT_e, OPT_l,
    OPT_k, OPT_u,
};

struct Option {
    const char* name;
    OptionKind kind;
    bool takesWord;
    OptionId id;
};

constexpr Option sOptions[] = {
    {"-B", KIND_COMMAND, false, OPT_B},     {"-L", KIND_COMMAND, false, OPT_L},
    {"-D", KIND_COMMAND, false, OPT_D},     {"-G", KIND_COMMAND, false, OPT_G},
    {"-I", KIND_COMMAND, false, OPT_I},     {"-U", KIND_COMMAND, false, OPT_U},
    {"-OVERRIDE", KIND_COMMAND, false, OPT_OVERRIDE},
    {"-N", KIND_COMMAND, false, OPT_N},     {"-Y", KIND_COMMAND, false, OPT_Y},
    {"-C", KIND_COMMAND, false, OPT_C},     {"-J", KIND_COMMAND, false, OPT_J},
    {"-h", KIND_HELP, false, OPT_h},        {"-H", KIND_HELP, false, OPT_H},
    {"--help", KIND_HELP, false, OPT_HELP},
    {"-n", KIND_PARAMETER, false, OPT_n},   {"-X", KIND_PARAMETER, true, OPT_X},
    {"-Z", KIND_PARAMETER, true, OPT_Z},    {"-i", KIND_PARAMETER, true, OPT_i},
    {"-b", KIND_PARAMETER, true, OPT_b},    {"-d", KIND_PARAMETER, true, OPT_d},
    {"-t", KIND_PARAMETER, true, OPT_t},    {"-f", KIND_PARAMETER, true, OPT_f},
    {"-r", KIND_PARAMETER, true, OPT_r},    {"-s", KIND_PARAMETER, true, OPT_s},
    {"-o", KIND_PARAMETER, true, OPT_o},    {"-e", KIND_PARAMETER, true, OPT_e},
    {"-l", KIND_PARAMETER, true, OPT_l},    {"-k", KIND_PARAMETER, true, OPT_k},
    {"-u", KIND_PARAMETER, true, OPT_u},
};

// Whole-word match first; otherwise a word that is a prefix of exactly one multi-character
// option selects it (-OV, --he). Single letters match only in full.
const Option* sFindOption(const std::string& name) {
    for (const Option& o : sOptions)
        if (name == o.name) return &o;
    const Option* found = nullptr;
    for (const Option& o : sOptions) {
        if (strlen(o.name) <= 2) continue;
        if (strncmp(o.name, name.c_str(), name.size()) == 0) {
            if (found != nullptr) return nullptr; // ambiguous
            found = &o;
        }
    }
    return found;
}

// Accumulates the digits of the given base from the start of text into the low 32 bits of
// their value; returns where the digits stop.
const char* sScanDigits(const char* text, unsigned base, uint32_t* value) {
    uint32_t v = 0;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        unsigned digit;
        if (*p >= '0' && *p <= '9')
            digit = static_cast<unsigned>(*p - '0');
        else if (base == 16 && *p >= 'a' && *p <= 'f')
            digit = static_cast<unsigned>(*p - 'a' + 10);
        else if (base == 16 && *p >= 'A' && *p <= 'F')
            digit = static_cast<unsigned>(*p - 'A' + 10);
        else
            break;
        v = v * base + digit; // unsigned arithmetic wraps: the low 32 bits of the true value
    }
    *value = v;
    return p;
}

uint32_t sGetDigitsArg(const char* text, char** end, unsigned base) {
    if (text == nullptr || end == nullptr) return 0;
    uint32_t value = 0;
    const char* stop = sScanDigits(text, base, &value);
    if (*stop != '\0') return 0;
    *end = const_cast<char*>(stop);
    return value;
}

const char* sStripHexPrefix(const char* text, const char* logText) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        Log::log(DEBUG_Updater, "%s", logText);
        return text + 2;
    }
    return text;
}

bool sStartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// -X: hexadecimal after 0x, else decimal; unparsed characters are reported and the mask is
// ignored, without failing the parse.
void sSetLogMask(CLI_Display& display, Parameters* params, const char* word) {
    params->logMaskGiven = true;
    unsigned base = 10;
    const char* p = word;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        base = 16;
        p += 2;
    }
    uint32_t value = 0;
    p = sScanDigits(p, base, &value);
    if (*p != '\0') {
        display.message(UpdaterDisplayInterface::ERROR,
                        "Invalid format for \"%s\" parameter, unprocessed characters [%s]", "-X", p);
        return;
    }
    params->logMask = value;
    Log::ActivatePackage(value);
}

// Applies one option; returns false when it makes the parse fail.
bool sApply(CLI_Display& display, Parameters* params, const Option& option, const char* word) {
    const auto ERROR = UpdaterDisplayInterface::ERROR;
    char* end = nullptr;
    switch (option.id) {
        case OPT_B: params->commands.Set(CMD_LIST_BUILDS); break;
        case OPT_L: params->commands.Set(CMD_LIST_LOCAL_BUILDS); break;
        case OPT_D: params->commands.Set(CMD_DISCOVER); break;
        case OPT_G: params->commands.Set(CMD_GET_BUILD); break;
        case OPT_I: params->commands.Set(CMD_INFO); break;
        case OPT_U: params->commands.Set(CMD_UPDATE); break;
        case OPT_OVERRIDE: params->override = true; break;
        case OPT_N: params->commands.Set(CMD_FINGERPRINT); break;
        case OPT_Y: display.message(ERROR, "Unhandled command: [%s]", "-Y"); return false;
        case OPT_C: params->commands.Set(CMD_CHECK_BIRD); break;
        case OPT_J: params->commands.Set(CMD_GET_JWT); break;
        case OPT_h:
        case OPT_H:
        case OPT_HELP:
            params->commands.Set(CMD_HELP);
            params->help = true;
            break;
        case OPT_n: params->nFlag = true; break;
        case OPT_X: sSetLogMask(display, params, word); break;
        case OPT_Z: params->commands.Set(CMD_Z); break;
        case OPT_i: params->storeDirectory = word; break;
        case OPT_b: params->build = std::to_string(_get_int_arg(word, &end)); break;
        case OPT_d:
        case OPT_r: {
            bool device = option.id == OPT_d;
            const char* digits =
                sStripHexPrefix(word, device ? "Discarding '0x' serial number prefix\n"
                                             : "Discarding '0x' router serial number prefix\n");
            uint32_t serial = _get_hex_arg(digits, &end);
            (device ? params->deviceSerial : params->routerSerial) = serial;
            if (serial == 0) {
                display.message(ERROR,
                                device ? "Invalid serial number obtained from argument [%s]"
                                       : "Invalid router serial number obtained from argument [%s]",
                                digits);
                return false;
            }
            break;
        }
        case OPT_t:
            params->transportGiven = true;
            if (sStartsWith(word, "USB")) {
                params->transport = TRANSPORT_USB;
            } else if (sStartsWith(word, "TCP")) {
                params->transport = TRANSPORT_TCPIP;
            } else if (sStartsWith(word, "RECOVER")) {
                params->transport = TRANSPORT_RECOVER;
            } else {
                display.message(ERROR,
                                "Invalid transport type:[%s]\nMust be one of the following: USB, "
                                "TCPIP, RECOVER",
                                word);
                params->transport = TRANSPORT_NONE;
                return false;
            }
            break;
        case OPT_f: params->birdFile = word; break;
        case OPT_s: params->serialPort = word; break;
        case OPT_o: params->baudRate = _get_int_arg(word, &end); break;
        case OPT_e: params->echo = true; break;
        case OPT_l: params->logMessage = word; break;
        case OPT_k: params->logFile = word; break;
        case OPT_u: params->serverUrl = word; break;
    }
    return true;
}

std::string sProgramName(const char* path) {
    if (path == nullptr) return "";
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

void sLogWords(const Parameters* params, int argc, char** argv,
               const std::vector<const char*>& optionWords,
               const std::vector<const char*>& strayWords) {
    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params->programName.c_str());
    if (argc > 0) Log::log(DEBUG_APP, "\t[%s]\n", argv[0]);
    for (const char* w : optionWords) Log::log(DEBUG_APP, "\t[%s]\n", w);
    for (const char* w : strayWords) Log::log(DEBUG_APP, "\t[%s]\n", w);
}

} // namespace

Parameters::Parameters() : serverUrl(AppInfo::DEFAULT_SERVER_URL) {
    char home[2048] = "";
    if (aDirectory_GetHomeDirectory(home, sizeof(home)) == aErrNone) homeDirectory = home;
}

uint32_t _get_hex_arg(const char* text, char** end) { return sGetDigitsArg(text, end, 16); }

uint32_t _get_int_arg(const char* text, char** end) { return sGetDigitsArg(text, end, 10); }

int _validate_params(Parameters*) { return 0; }

void _release_params(Parameters* params) {
    if (params == nullptr) return;
    free(params->reservedBuffer);
    params->reservedBuffer = nullptr;
}

int _get_params(CLI_Display& display, int argc, char** argv, Parameters* params) {
    if (params == nullptr) return 1;
    if (argc > 0) params->programName = sProgramName(argv[0]);

    bool failed = false;
    // Words are logged as a permuting parser leaves them: options first, stray words last.
    std::vector<const char*> optionWords, strayWords;
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
        if (word == nullptr || word[0] != '-') {
            strayWords.push_back(word ? word : "");
            continue;
        }
        optionWords.push_back(word);
        const char* eq = strchr(word, '=');
        std::string name = eq ? std::string(word, static_cast<size_t>(eq - word)) : word;
        const Option* option = sFindOption(name);
        if (option == nullptr) continue;
        const char* argument = nullptr;
        if (option->takesWord) {
            if (eq != nullptr) {
                argument = eq + 1;
            } else if (i + 1 < argc && argv[i + 1][0] != '-') {
                argument = argv[++i];
                optionWords.push_back(argument);
            } else {
                continue; // dropped: the next word (if any) is read as an option of its own
            }
        } else if (eq != nullptr) {
            continue; // an "=" argument to an option without one
        }
        if (!sApply(display, params, *option, argument)) failed = true;
        if (option->kind == KIND_HELP) {
            sLogWords(params, argc, argv, optionWords, strayWords);
            return 0;
        }
    }
    sLogWords(params, argc, argv, optionWords, strayWords);
    if (failed) return 1;
    return _validate_params(params);
}
