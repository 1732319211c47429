#pragma once

#include "common/Clock.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::jwt {

// One claim of a token's body. `value` is absent when the body has no such key. The typed
// accessors give absent when the value is missing or not of that type; they never fail.
struct Claim {
    std::optional<nlohmann::json> value;

    std::optional<std::string> string() const;
    // Only a JSON boolean; a number is not a boolean.
    std::optional<bool> boolean() const;
    // A number, or text that parses whole as a floating-point number. Booleans give absent.
    std::optional<double> doubleValue() const;
    // Text parsed as a decimal integer with an optional sign; otherwise the number truncated toward
    // zero. Absent for booleans, non-finite numbers and anything outside the 64-bit signed range.
    std::optional<std::int64_t> integer() const;
    // doubleValue() taken as seconds since 1970-01-01T00:00:00Z.
    std::optional<double> date() const;
    // An array of texts, or a single text as a one-element array.
    std::optional<std::vector<std::string>> array() const;
};

// What callers see of a decoded token. Nothing here checks a signature or a claim.
class JWT {
public:
    virtual ~JWT() = default;

    virtual const nlohmann::json& header() const = 0;
    virtual const nlohmann::json& body() const = 0;
    virtual const std::optional<std::string>& signature() const = 0;
    virtual const std::string& string() const = 0;

    Claim claim(std::string_view name) const;

    std::optional<double> expiresAt() const;
    std::optional<std::string> issuer() const;
    std::optional<std::string> subject() const;
    std::optional<std::vector<std::string>> audience() const;
    std::optional<double> issuedAt() const;
    std::optional<double> notBefore() const;
    std::optional<std::string> identifier() const;
    // True when "exp" is present and not later than now (equal counts as expired).
    bool expired(const Clock& clock = systemClock()) const;
};

// The one implementation of JWT: a plain value.
class DecodedJWT final : public JWT {
public:
    DecodedJWT(nlohmann::json header, nlohmann::json body, std::optional<std::string> signature, std::string string);

    const nlohmann::json& header() const override { return m_header; }
    const nlohmann::json& body() const override { return m_body; }
    const std::optional<std::string>& signature() const override { return m_signature; }
    const std::string& string() const override { return m_string; }

private:
    nlohmann::json m_header;
    nlohmann::json m_body;
    std::optional<std::string> m_signature;
    std::string m_string;
};

class JWTError {
public:
    enum class Kind { invalidBase64URL, invalidJSON, invalidPartCount };

    static JWTError invalidBase64URL(std::string segment);
    static JWTError invalidJSON(std::string segment);
    static JWTError invalidPartCount(std::string token, std::size_t count);

    Kind kind() const { return m_kind; }
    // The segment for the first two kinds, the whole token for invalidPartCount.
    const std::string& payload() const { return m_payload; }
    std::size_t partCount() const { return m_count; }
    std::string description() const;

private:
    JWTError(Kind kind, std::string payload, std::size_t count);

    Kind m_kind;
    std::string m_payload;
    std::size_t m_count;
};

// Decodes the compact form "header.body.signature". Every failure is a JWTError; nothing partial.
// A header or body nested more than 64 levels deep fails with invalidJSON.
std::expected<DecodedJWT, JWTError> decode(std::string_view jwt);

// Base64url text to bytes: padding added up to a multiple of four, characters outside the
// alphabet skipped. Nothing when the text cannot be decoded.
std::optional<std::string> base64UrlDecode(std::string_view text);
// Bytes to base64url text without padding (RFC 4648 section 5).
std::string base64UrlEncode(std::string_view bytes);

} // namespace parlomatic::jwt
