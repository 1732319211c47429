#include "identity/JWKS.h"

#include "identity/JsonText.h"

namespace parlomatic::identity {
namespace {

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
