#include "identity/Telemetry.h"

#include "identity/jwt/JWT.h"

#include <nlohmann/json.hpp>

#include <sys/utsname.h>

#include <string_view>

#ifndef PARLOMATIC_VERSION
#define PARLOMATIC_VERSION "0.0.0"
#endif

namespace parlomatic::identity {
namespace {

// "6.1.0-18-amd64" -> "6.1"
std::string majorMinor(std::string_view release)
{
    std::string out;
    int dots = 0;
    for (const char c : release) {
        if (c == '.') {
            if (++dots == 2) {
                break;
            }
        } else if (c < '0' || c > '9') {
            break;
        }
        out += c;
    }
    if (dots == 0) {
        out += ".0";
    }
    return out;
}

} // namespace

std::string Telemetry::encodeInfo(const std::string& version, const std::string& os, const std::string& osVersion)
{
    const nlohmann::json info{
        {"name", "parlomatic-identity"}, {"version", version}, {"env", {{"os", os}, {"osVersion", osVersion}}}};
    return jwt::base64UrlEncode(info.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

Telemetry Telemetry::standard()
{
    utsname name{};
    const std::string release = uname(&name) == 0 ? name.release : "0.0";
    return Telemetry{true, encodeInfo(PARLOMATIC_VERSION, "linux", majorMinor(release))};
}

} // namespace parlomatic::identity
