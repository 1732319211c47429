#include "identity/jwt/JWT.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace parlomatic::jwt {
namespace {

using nlohmann::json;

constexpr std::array<std::int8_t, 256> makeBase64Table()
{
    std::array<std::int8_t, 256> table{};
    table.fill(-1);
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}

constexpr auto base64Table = makeBase64Table();

std::optional<json> decodeSegment(std::string_view segment, bool& base64Failed)
{
    base64Failed = false;
    const auto bytes = base64UrlDecode(segment);
    if (!bytes) {
        base64Failed = true;
        return std::nullopt;
    }
    // Copying and comparing a value recurse once per level, so a claim nested thousands deep
    // would overflow the stack when read; parsing itself does not recurse.
    constexpr int maxDepth = 64;
    bool tooDeep = false;
    const json::parser_callback_t limitDepth = [&tooDeep](int depth, json::parse_event_t, json&) {
        tooDeep = tooDeep || depth > maxDepth;
        return !tooDeep;
    };
    json value = json::parse(*bytes, limitDepth, false);
    if (tooDeep || value.is_discarded() || !value.is_object()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> parseDecimalInteger(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulate toward the negative side, which holds one value more than the positive side.
    std::int64_t value = 0;
    constexpr std::int64_t minimum = std::numeric_limits<std::int64_t>::min();
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const int digit = c - '0';
        if (value < (minimum + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == minimum) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

std::optional<double> parseFloatingPoint(std::string_view text)
{
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
            return std::nullopt;
        }
    }
    if (text.empty()) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

std::optional<std::string> base64UrlDecode(std::string_view text)
{
    std::string standard(text);
    for (char& c : standard) {
        if (c == '-') {
            c = '+';
        } else if (c == '_') {
            c = '/';
        }
    }
    const double length = static_cast<double>(standard.size());
    const double required = std::ceil(length * 0.25) * 4.0;
    standard.append(static_cast<std::size_t>(required - length), '=');

    std::string bytes;
    bytes.reserve(standard.size() / 4 * 3);
    std::uint32_t bits = 0;
    int symbols = 0;
    bool padding = false;
    for (const char c : standard) {
        if (c == '=') {
            padding = true;
            continue;
        }
        const int sextet = base64Table[static_cast<unsigned char>(c)];
        if (sextet < 0) {
            continue;
        }
        if (padding) {
            return std::nullopt; // data after the padding
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(sextet);
        if (++symbols == 4) {
            bytes.push_back(static_cast<char>((bits >> 16) & 0xff));
            bytes.push_back(static_cast<char>((bits >> 8) & 0xff));
            bytes.push_back(static_cast<char>(bits & 0xff));
            bits = 0;
            symbols = 0;
        }
    }
    switch (symbols) {
    case 0:
        break;
    case 1:
        return std::nullopt; // a lone symbol carries less than one byte
    case 2:
        bytes.push_back(static_cast<char>((bits >> 4) & 0xff));
        break;
    case 3:
        bytes.push_back(static_cast<char>((bits >> 10) & 0xff));
        bytes.push_back(static_cast<char>((bits >> 2) & 0xff));
        break;
    default:
        break;
    }
    return bytes;
}

std::optional<std::string> Claim::string() const
{
    if (!value || !value->is_string()) {
        return std::nullopt;
    }
    return value->get<std::string>();
}

std::optional<bool> Claim::boolean() const
{
    if (!value || !value->is_boolean()) {
        return std::nullopt;
    }
    return value->get<bool>();
}

std::optional<double> Claim::doubleValue() const
{
    if (!value) {
        return std::nullopt;
    }
    if (value->is_string()) {
        return parseFloatingPoint(value->get_ref<const std::string&>());
    }
    if (value->is_number()) {
        return value->get<double>();
    }
    return std::nullopt;
}

std::optional<std::int64_t> Claim::integer() const
{
    if (!value) {
        return std::nullopt;
    }
    if (value->is_string()) {
        return parseDecimalInteger(value->get_ref<const std::string&>());
    }
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return value->get<std::int64_t>();
    }
    if (value->is_number_unsigned()) {
        const auto unsignedValue = value->get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    const auto number = doubleValue();
    if (!number || !std::isfinite(*number)) {
        return std::nullopt;
    }
    const double truncated = std::trunc(*number);
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (truncated >= limit || truncated < -limit) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(truncated);
}

std::optional<double> Claim::date() const
{
    return doubleValue();
}

std::optional<std::vector<std::string>> Claim::array() const
{
    if (!value) {
        return std::nullopt;
    }
    if (value->is_string()) {
        return std::vector<std::string>{value->get<std::string>()};
    }
    if (!value->is_array()) {
        return std::nullopt;
    }
    std::vector<std::string> texts;
    texts.reserve(value->size());
    for (const auto& element : *value) {
        if (!element.is_string()) {
            return std::nullopt;
        }
        texts.push_back(element.get<std::string>());
    }
    return texts;
}

Claim JWT::claim(std::string_view name) const
{
    const auto& claims = body();
    const auto it = claims.find(name);
    if (it == claims.end()) {
        return Claim{};
    }
    return Claim{*it};
}

std::optional<double> JWT::expiresAt() const
{
    return claim("exp").date();
}

std::optional<std::string> JWT::issuer() const
{
    return claim("iss").string();
}

std::optional<std::string> JWT::subject() const
{
    return claim("sub").string();
}

std::optional<std::vector<std::string>> JWT::audience() const
{
    return claim("aud").array();
}

std::optional<double> JWT::issuedAt() const
{
    return claim("iat").date();
}

std::optional<double> JWT::notBefore() const
{
    return claim("nbf").date();
}

std::optional<std::string> JWT::identifier() const
{
    return claim("jti").string();
}

bool JWT::expired(const Clock& clock) const
{
    const auto expiry = expiresAt();
    return expiry && !(*expiry > clock.now());
}

DecodedJWT::DecodedJWT(nlohmann::json header, nlohmann::json body, std::optional<std::string> signature,
                       std::string string)
    : m_header(std::move(header)), m_body(std::move(body)), m_signature(std::move(signature)),
      m_string(std::move(string))
{}

JWTError::JWTError(Kind kind, std::string payload, std::size_t count)
    : m_kind(kind), m_payload(std::move(payload)), m_count(count)
{}

JWTError JWTError::invalidBase64URL(std::string segment)
{
    return {Kind::invalidBase64URL, std::move(segment), 0};
}

JWTError JWTError::invalidJSON(std::string segment)
{
    return {Kind::invalidJSON, std::move(segment), 0};
}

JWTError JWTError::invalidPartCount(std::string token, std::size_t count)
{
    return {Kind::invalidPartCount, std::move(token), count};
}

std::string JWTError::description() const
{
    switch (m_kind) {
    case Kind::invalidBase64URL:
        return "Failed to decode Base64URL value " + m_payload + ".";
    case Kind::invalidJSON:
        return "Failed to parse JSON from Base64URL value " + m_payload + ".";
    case Kind::invalidPartCount:
        return "The JWT " + m_payload + " has " + std::to_string(m_count) + " parts when it should have 3 parts.";
    }
    return {};
}

std::expected<DecodedJWT, JWTError> decode(std::string_view jwt)
{
    std::array<std::string_view, 3> segments;
    std::size_t count = 0;
    std::size_t start = 0;
    while (true) {
        const auto dot = jwt.find('.', start);
        const auto segment = jwt.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (count < segments.size()) {
            segments[count] = segment;
        }
        ++count;
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    if (count != 3) {
        return std::unexpected(JWTError::invalidPartCount(std::string(jwt), count));
    }

    std::array<json, 2> objects;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        bool base64Failed = false;
        auto object = decodeSegment(segments[i], base64Failed);
        if (!object) {
            return std::unexpected(base64Failed ? JWTError::invalidBase64URL(std::string(segments[i]))
                                                : JWTError::invalidJSON(std::string(segments[i])));
        }
        objects[i] = std::move(*object);
    }
    return DecodedJWT(std::move(objects[0]), std::move(objects[1]), std::string(segments[2]), std::string(jwt));
}

std::string base64UrlEncode(std::string_view bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((bytes.size() * 4 + 2) / 3);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (const char c : bytes) {
        buffer = (buffer << 8) | static_cast<unsigned char>(c);
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += alphabet[(buffer >> bits) & 63];
        }
    }
    if (bits > 0) {
        out += alphabet[(buffer << (6 - bits)) & 63];
    }
    return out;
}

} // namespace parlomatic::jwt
