#include "Usage.h"

#include <cstdarg>
#include <cstdio>
#include <initializer_list>

#include "AppInfo.h"
#include "Log.h"

namespace {

struct Entry {
    const char* option;
    std::initializer_list<const char*> lines;
    bool blankAfter;
};

constexpr int sOptionColumn = 25;
constexpr int sSampleColumn = 31;

std::string sFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string sFormat(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

void sSection(std::string& out, const char* heading, std::initializer_list<Entry> entries) {
    out += sFormat("  %s\n", heading);
    for (const Entry& e : entries) {
        bool first = true;
        for (const char* line : e.lines) {
            if (first)
                out += sFormat("     %-*s- %s\n", sOptionColumn, e.option, line);
            else if (*line == '\0')
                out += "\n";
            else
                out += sFormat("%32s%s\n", "", line);
            first = false;
        }
        if (e.blankAfter) out += "\n";
    }
}

struct Sample {
    const char* command;
    std::initializer_list<const char*> lines;
    bool alone;
};

void sSamples(std::string& out, const char* heading, std::initializer_list<Sample> samples) {
    out += sFormat(" %s\n\n", heading);
    for (const Sample& s : samples) {
        bool first = !s.alone;
        if (s.alone) out += sFormat("%s\n", s.command);
        for (const char* line : s.lines) {
            if (first)
                out += sFormat("%-*s%s\n", sSampleColumn, s.command, line);
            else
                out += sFormat("%*s%s\n", sSampleColumn, "", line);
            first = false;
        }
        out += "\n";
    }
}

std::string sPackageLine(const char* name, unsigned value) {
    return sFormat("%-20s0x%08X", name, value);
}

} // namespace

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::INFO, "%s (%s)", AppInfo::NAME, AppInfo::VERSION_TEXT);
}

void _display_copyright(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::INFO, "%s", AppInfo::NOTICE);
}

std::string _usage_text(bool extended, bool full) {
    std::string out = sFormat(
        "\nApplication Usage:\n%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
        "    [-d serial_num]\n    [-t transport] [-r router_serial]\n"
        "    [-s serial_port] [-o baud_rate]\n\n"
        "  Korvel Update and Maintenance Application\n"
        "    -H -h or --help for full usage information.\n\n",
        AppInfo::NAME);
    if (!full) return out;

    sSection(out, "Parameters to commands:",
             {
                 {"-i <olvarin_directory>",
                  {"The Olvarin directory used for storage of ",
                   "firmware files. [Default: ~/.olvarin ]."},
                  false},
                 {"-b <build number>",
                  {"Build version of the firmware to transfer.", "[Default: latest version available]."},
                  false},
                 {"-d <device>", {"Device serial number of the device to access."}, false},
                 {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, false},
                 {"-f <bird file>", {"Firmware file to be transferred to device."}, false},
                 {"-r <router serial>", {"indirect connection through router device"}, false},
                 {"-s <serial port>", {"name of serial port to use for recovery"}, false},
                 {"-o <baud rate>",
                  {"baud rate for serial port (2400, 4800, 9600,",
                   "19200, 38400, 57600, 115200, 230400)"},
                  false},
             });
    sSection(out, "Commands:",
             {
                 {"-B", {"list the Builds available for given device."}, true},
                 {"-L", {"list the local Builds available for given device."}, true},
                 {"-D", {"Discover devices that are currently connected."}, true},
                 {"-G",
                  {"Get build file from the Olvarin server and",
                   "store on local machine for download to device.",
                   "Must specify a specific device [\"-d\" option].",
                   "Default is to obtain the latest build for the",
                   "given device, override with \"-b\" option."},
                  true},
                 {"-U",
                  {"Update the firmware on device specified.",
                   "Must specify a specific device [\"-d\" option].",
                   "Default is to download the latest build for the",
                   "given device, override with \"-b\" option or",
                   "specify specific BIRD file using \"-f\" option."},
                  false},
                 {"-J", {"Get a JWT containing the devices software features"}, false},
                 {"-H or -h", {"Display extended usage information."}, true},
             });

    if (extended) {
        std::string serverDefault =
            sFormat("Default: %s:%s", AppInfo::DEFAULT_SERVER_HOST, AppInfo::DEFAULT_SERVER_PORT);
        sSection(out, "Extended Parameters:",
                 {
                     {"-e", {"echoing of bytes enabled during recovery."}, true},
                     {"-l 'log message'", {"message to place in device history log"}, false},
                     {"-k <filename>",
                      {"log messages written into given filename", "Default:[APP.log]"},
                      false},
                     {"-u <host:port>",
                      {"The hostname and port of the update server", serverDefault.c_str()},
                      false},
                 });
        // The -X entry lists the packages; its blank lines group them as the log does.
        const std::string p[] = {
            sPackageLine("DEBUG_Updater", DEBUG_Updater),
            sPackageLine("DEBUG_History", DEBUG_History),
            sPackageLine("DEBUG_Attributes", DEBUG_Attributes),
            sPackageLine("DEBUG_BirdFile", DEBUG_BirdFile),
            sPackageLine("DEBUG_Network", DEBUG_Network),
            sPackageLine("DEBUG_ServerComm", DEBUG_ServerComm),
            sPackageLine("DEBUG_Network", DEBUG_NetworkLink),
            sPackageLine("DEBUG_Network_SR", DEBUG_Network_SR),
            sPackageLine("DEBUG_Network_FIRM", DEBUG_Network_FIRM),
            sPackageLine("DEBUG_NXPSerial", DEBUG_NXPSerial),
            sPackageLine("DEBUG_NXPSerial_E", DEBUG_NXPSerial_E),
            sPackageLine("DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR),
            sPackageLine("DEBUG_APP", DEBUG_APP),
            sPackageLine("DEBUG_iMXSerial", DEBUG_iMXSerial),
        };
        sSection(out, "Extended Commands:",
                 {
                     {"-I",
                      {"View stored device information.",
                       "Must either use DISCOVER command [\"-D\"] or",
                       "specify a specific device [\"-d\" option]."},
                      true},
                     {"-OVERRIDE",
                      {"Override the model checks for BIRD firmware files.",
                       "This option should only be used when authorized by",
                       "Olvarin development engineers."},
                      true},
                     {"-N", {"Get fingerprint from a device, requires -s"}, true},
                     {"-X <BIT_MASK>",
                      {"Bitmask for Logging", p[0].c_str(), p[1].c_str(), p[2].c_str(),
                       p[3].c_str(), p[4].c_str(), p[5].c_str(), "", p[6].c_str(), p[7].c_str(),
                       p[8].c_str(), "", p[9].c_str(), p[10].c_str(), p[11].c_str(), "",
                       p[12].c_str(), "", p[13].c_str()},
                      true},
                     {"-C", {"Check the given BIRDFILE"}, true},
                 });
    }

    sSamples(out, "Sample usage:",
             {
                 {"-D",
                  {"Discover all devices connected by either USB or TCPIP.",
                   "Records the device information into the settings for that device."},
                  false},
                 {"-D -t USB",
                  {"Discover all the devices connected by USB. Records the",
                   "device information into the settings for that device."},
                  false},
                 {"-D -t USB -d 0F5849A",
                  {"Discover settings of the specific device (serial number 0x40F5849A)"},
                  false},
                 {"-G -d 40F5849A",
                  {"Get the latest firmware for the given device.",
                   "Downloads the firmware file into the updater specific device directory."},
                  false},
                 {"-U -d 40F5849A",
                  {"Update the firmware on the specific device.",
                   "Without other options, this command will try to locate",
                   "the latest firmware version to be used for updating the device."},
                  false},
                 {"-G -d 40F5849A -b 99528558",
                  {"Get the specified build's firmware for the given device.",
                   "Downloads the firmware file into the updater's specific",
                   "device directory with the build number as the filename."},
                  false},
                 {"-G -U -d 40F5849A",
                  {"Get the latest firmware for the given device.",
                   "Downloads the firmware file into the updater specific",
                   "device directory. After download, update the firmware",
                   "using the latest release."},
                  false},
                 {"-U -t RECOVER -s /dev/serial",
                  {"Update the firmware as described above, but uses the serial interface",
                   "in communicating with the device to install the latest firmware."},
                  false},
             });
    sSamples(out, "Sample usage for network discovery and updates:",
             {
                 {"-D -r D272031D",
                  {"Discover all devices connected to the I2C Korvel network",
                   "of the given routing device D272031D."},
                  false},
                 {"-G -U -d 2181F0EE -r D272031D",
                  {"Get and Update to the latest firmware for device 2181F0EE",
                   "indirectly through routing device D272031D."},
                  true},
             });
    return out;
}

void _display_usage(bool extended, bool full) {
    std::string text = _usage_text(extended, full);
    fwrite(text.data(), 1, text.size(), stderr);
}
