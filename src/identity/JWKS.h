#pragma once

#include <nlohmann/json.hpp>

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace parlomatic::identity {

// One JSON Web Key (RFC 7517). Only "kty" is required.
struct JWK {
    std::string keyType;                               // "kty"
    std::optional<std::string> keyId;                  // "kid"
    std::optional<std::string> usage;                  // "use"
    std::optional<std::string> algorithm;              // "alg"
    std::optional<std::string> certUrl;                // "x5u"
    std::optional<std::string> certThumbprint;         // "x5t"
    std::optional<std::vector<std::string>> certChain; // "x5c"
    std::optional<std::string> modulus;                // "n"
    std::optional<std::string> exponent;               // "e"

    bool operator==(const JWK&) const = default;
};

// A JSON Web Key Set.
struct JWKS {
    std::vector<JWK> keys;

    // Fails (with the reason) when "keys" is missing or not a list, a key lacks "kty", or a
    // member has the wrong type.
    static std::expected<JWKS, std::string> decode(const nlohmann::json& object);
};

} // namespace parlomatic::identity
