#include "identity/JWKS.h"

namespace parlomatic::identity {
namespace {

// Absent when missing or null; a failure when present with another type than text.
std::expected<std::optional<std::string>, std::string> optionalText(const nlohmann::json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::optional<std::string>{};
    }
    if (!it->is_string()) {
        return std::unexpected(std::string("\"") + key + "\" is not a string");
    }
    return std::optional<std::string>(it->get<std::string>());
}

std::expected<JWK, std::string> decodeKey(const nlohmann::json& object)
{
    if (!object.is_object()) {
        return std::unexpected("a key is not an object");
    }
    JWK key;
    const std::pair<const char*, std::optional<std::string>*> texts[] = {
        {"kid", &key.keyId},          {"use", &key.usage}, {"alg", &key.algorithm}, {"x5u", &key.certUrl},
        {"x5t", &key.certThumbprint}, {"n", &key.modulus}, {"e", &key.exponent},
    };
    auto type = optionalText(object, "kty");
    if (!type) {
        return std::unexpected(type.error());
    }
    if (!*type) {
        return std::unexpected("\"kty\" is missing");
    }
    key.keyType = std::move(**type);
    for (const auto& [name, field] : texts) {
        auto value = optionalText(object, name);
        if (!value) {
            return std::unexpected(value.error());
        }
        *field = std::move(*value);
    }
    if (const auto chain = object.find("x5c"); chain != object.end() && !chain->is_null()) {
        if (!chain->is_array()) {
            return std::unexpected("\"x5c\" is not a list");
        }
        std::vector<std::string> certificates;
        for (const auto& certificate : *chain) {
            if (!certificate.is_string()) {
                return std::unexpected("\"x5c\" holds a value that is not a string");
            }
            certificates.push_back(certificate.get<std::string>());
        }
        key.certChain = std::move(certificates);
    }
    return key;
}

} // namespace

std::expected<JWKS, std::string> JWKS::decode(const nlohmann::json& object)
{
    const auto keys = object.find("keys");
    if (!object.is_object() || keys == object.end() || !keys->is_array()) {
        return std::unexpected("\"keys\" is missing or not a list");
    }
    JWKS set;
    for (const auto& entry : *keys) {
        auto key = decodeKey(entry);
        if (!key) {
            return std::unexpected(key.error());
        }
        set.keys.push_back(std::move(*key));
    }
    return set;
}

} // namespace parlomatic::identity
