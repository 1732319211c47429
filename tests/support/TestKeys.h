#pragma once

#include "support/Base64Url.h"

#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>

namespace parlomatic::testing {

// An RSA key pair made for one test, with its JSON Web Key and RS256 signing.
class TestRsaKey {
public:
    explicit TestRsaKey(std::string kid) : m_kid(std::move(kid)), m_key(EVP_RSA_gen(2048), &EVP_PKEY_free) {}

    const std::string& kid() const { return m_kid; }

    // The public key as a JWK with "kty", "kid", "use", "alg", "n" and "e".
    nlohmann::json jwk() const
    {
        return {{"kty", "RSA"},
                {"kid", m_kid},
                {"use", "sig"},
                {"alg", "RS256"},
                {"n", number(OSSL_PKEY_PARAM_RSA_N)},
                {"e", number(OSSL_PKEY_PARAM_RSA_E)}};
    }

    // A compact token of `header` and `body`, RS256-signed with this key.
    std::string token(const nlohmann::json& header, const nlohmann::json& body) const
    {
        const std::string data = base64UrlEncode(header.dump()) + "." + base64UrlEncode(body.dump());
        std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
        std::size_t length = 0;
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, m_key.get());
        EVP_DigestSign(context.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(data.data()),
                       data.size());
        std::string signature(length, '\0');
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                       reinterpret_cast<const unsigned char*>(data.data()), data.size());
        signature.resize(length);
        return data + "." + base64UrlEncode(signature);
    }

private:
    std::string number(const char* name) const
    {
        BIGNUM* value = nullptr;
        EVP_PKEY_get_bn_param(m_key.get(), name, &value);
        std::string bytes(static_cast<std::size_t>(BN_num_bytes(value)), '\0');
        BN_bn2bin(value, reinterpret_cast<unsigned char*>(bytes.data()));
        BN_free(value);
        return base64UrlEncode(bytes);
    }

    std::string m_kid;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> m_key;
};

} // namespace parlomatic::testing
