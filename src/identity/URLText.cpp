#include "identity/URLText.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace parlomatic::identity {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// OAuth answers in a redirect are form-encoded: "+" is a space.
std::optional<std::string> formDecode(std::string_view text)
{
    std::string spaced(text);
    std::ranges::replace(spaced, '+', ' ');
    return percentDecode(spaced);
}

// Splits "a=1&b=2" into `values`; false on a malformed escape.
bool addPairs(std::string_view text, nlohmann::json& values)
{
    while (!text.empty()) {
        const auto amp = text.find('&');
        const auto pair = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const auto equals = pair.find('=');
        const auto name = formDecode(pair.substr(0, equals));
        const auto value = formDecode(equals == std::string_view::npos ? "" : pair.substr(equals + 1));
        if (!name || !value) {
            return false;
        }
        values[*name] = *value;
    }
    return true;
}

} // namespace

std::string percentEncode(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

std::optional<std::string> percentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::optional<URLParts> parseURL(std::string_view url)
{
    const auto colon = url.find(':');
    if (colon == 0 || colon == std::string_view::npos ||
        !std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        })) {
        return std::nullopt;
    }
    URLParts parts;
    parts.scheme = std::string(url.substr(0, colon));
    std::ranges::transform(parts.scheme, parts.scheme.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::size_t position = colon + 1;
    if (url.substr(position, 2) == "//") {
        position += 2;
        const auto end = std::min(url.find_first_of("/?#", position), url.size());
        auto authority = url.substr(position, end - position);
        if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
            position += at + 1;
            authority = authority.substr(at + 1);
        }
        const auto portColon = authority.rfind(':');
        const bool hasPort =
            portColon != std::string_view::npos && authority.find(']', portColon) == std::string_view::npos;
        parts.host = std::string(hasPort ? authority.substr(0, portColon) : authority);
        parts.hostEnd = position + parts.host.size();
        parts.authorityEnd = end;
        if (hasPort && portColon + 1 < authority.size()) {
            int port = 0;
            const auto digits = authority.substr(portColon + 1);
            const auto [last, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
            if (error != std::errc() || last != digits.data() + digits.size() || port < 0 || port > 65535) {
                return std::nullopt;
            }
            parts.port = port;
        }
        position = end;
    }
    const auto pathEnd = std::min(url.find_first_of("?#", position), url.size());
    parts.path = std::string(url.substr(position, pathEnd - position));
    if (parts.path.empty()) {
        parts.path = "/";
    }
    return parts;
}

std::optional<nlohmann::json> callbackValues(std::string_view url)
{
    if (!parseURL(url)) {
        return std::nullopt;
    }
    nlohmann::json values = nlohmann::json::object();
    const auto hash = url.find('#');
    if (hash != std::string_view::npos && !addPairs(url.substr(hash + 1), values)) {
        return std::nullopt;
    }
    const auto beforeFragment = url.substr(0, hash);
    const auto question = beforeFragment.find('?');
    if (question != std::string_view::npos && !addPairs(beforeFragment.substr(question + 1), values)) {
        return std::nullopt;
    }
    return values;
}

} // namespace parlomatic::identity
