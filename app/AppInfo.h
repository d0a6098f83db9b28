// Fixed texts of the application: name, version, notice and default update server.
#ifndef KORVEL_APPINFO_H
#define KORVEL_APPINFO_H

namespace AppInfo {

constexpr const char* NAME = "Updater";
constexpr const char* VERSION_TEXT = "Version: 2.11.1 " __DATE__;
constexpr const char* NOTICE = "(Copyright (c) 2026 Olvarin. All rights reserved.)";

// No public server exists for the default: users point -u at their own server or mirror.
constexpr const char* DEFAULT_SERVER_HOST = "updates.korvel.example";
constexpr const char* DEFAULT_SERVER_PORT = "8080";
constexpr const char* DEFAULT_SERVER_URL = "http://updates.korvel.example:8080/cgi/u";

} // namespace AppInfo

#endif
