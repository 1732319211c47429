#include "JwksTokenVerifier.h"

#include "identity/jwt/JWT.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <memory>

namespace parlomatic::textservice {
namespace {

template <auto Free> struct Deleter {
    template <typename T> void operator()(T* pointer) const { Free(pointer); }
};
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using ParamBuilder = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using Pkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;

Bignum bignum(const std::string& bytes)
{
    return Bignum(
        BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), nullptr));
}

Pkey rsaKey(const identity::JWK& jwk)
{
    if (jwk.keyType != "RSA" || !jwk.modulus || !jwk.exponent) {
        return nullptr;
    }
    const auto n = jwt::base64UrlDecode(*jwk.modulus);
    const auto e = jwt::base64UrlDecode(*jwk.exponent);
    if (!n || !e || n->empty() || e->empty()) {
        return nullptr;
    }
    const Bignum modulus = bignum(*n);
    const Bignum exponent = bignum(*e);
    const ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!modulus || !exponent || !builder ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
        return nullptr;
    }
    const Params params(OSSL_PARAM_BLD_to_param(builder.get()));
    const PkeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return nullptr;
    }
    return Pkey(key);
}

} // namespace

bool verifyRs256(std::string_view input, std::string_view signature, const identity::JWK& jwk)
{
    const Pkey key = rsaKey(jwk);
    const DigestContext context(EVP_MD_CTX_new());
    if (!key || !context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
        return false;
    }
    return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
}

JwksTokenVerifier::JwksTokenVerifier(HttpClient& http, std::string jwksUrl, std::string issuer, std::string audience,
                                     const Clock& clock, std::chrono::milliseconds refetchInterval)
    : m_http(http), m_jwksUrl(std::move(jwksUrl)), m_issuer(std::move(issuer)), m_audience(std::move(audience)),
      m_clock(clock), m_refetchInterval(refetchInterval)
{}

bool JwksTokenVerifier::fetchKeys(std::string* reason)
{
    const auto fail = [reason](std::string why) {
        if (reason != nullptr) {
            *reason = std::move(why);
        }
        return false;
    };
    HttpRequest request;
    request.url = m_jwksUrl;
    request.timeout = std::chrono::seconds(10);
    {
        std::lock_guard lock(m_mutex);
        m_lastFetch = std::chrono::steady_clock::now();
    }
    const HttpResult result = m_http.send(request);
    if (!result) {
        return fail("the key set could not be fetched: " + result.error().message);
    }
    if (result->status != 200) {
        return fail("the key set answer has status " + std::to_string(result->status));
    }
    const auto json = nlohmann::json::parse(result->body, nullptr, false);
    if (json.is_discarded()) {
        return fail("the key set is not JSON");
    }
    auto keys = identity::JWKS::decode(json);
    if (!keys) {
        return fail("the key set does not decode: " + keys.error());
    }
    std::lock_guard lock(m_mutex);
    m_keys = std::move(*keys);
    return true;
}

std::optional<identity::JWK> JwksTokenVerifier::key(const std::optional<std::string>& keyId)
{
    const auto lookUp = [&]() -> std::optional<identity::JWK> {
        if (!m_keys) {
            return std::nullopt;
        }
        for (const auto& jwk : m_keys->keys) {
            if (jwk.keyType == "RSA" && (!keyId || jwk.keyId == keyId) && jwk.usage.value_or("sig") == "sig") {
                return jwk;
            }
        }
        return std::nullopt;
    };
    {
        std::lock_guard lock(m_mutex);
        if (auto found = lookUp()) {
            return found;
        }
        if (m_lastFetch && std::chrono::steady_clock::now() - *m_lastFetch < m_refetchInterval) {
            return std::nullopt;
        }
    }
    fetchKeys();
    std::lock_guard lock(m_mutex);
    return lookUp();
}

std::expected<std::string, std::string> JwksTokenVerifier::verify(std::string_view token)
{
    const auto decoded = jwt::decode(token);
    if (!decoded || !decoded->signature()) {
        return std::unexpected("the token is not a signed JWT");
    }
    const auto& header = decoded->header();
    if (!header.contains("alg") || header["alg"] != "RS256") {
        return std::unexpected("the token is not signed with RS256");
    }
    std::optional<std::string> keyId;
    if (header.contains("kid")) {
        if (!header["kid"].is_string()) {
            return std::unexpected("the token's key id is not text");
        }
        keyId = header["kid"].get<std::string>();
    }
    const auto jwk = key(keyId);
    if (!jwk) {
        return std::unexpected("the token's signing key is not in the identity service's key set");
    }
    const auto signature = jwt::base64UrlDecode(*decoded->signature());
    const auto input = token.substr(0, token.rfind('.'));
    if (!signature || !verifyRs256(input, *signature, *jwk)) {
        return std::unexpected("the token's signature is not valid");
    }
    if (decoded->issuer() != m_issuer) {
        return std::unexpected("the token has another issuer");
    }
    const auto audience = decoded->audience();
    if (!audience || std::ranges::find(*audience, m_audience) == audience->end()) {
        return std::unexpected("the token is not meant for this service");
    }
    const auto now = m_clock.now();
    const auto expiry = decoded->expiresAt();
    if (!expiry || *expiry <= now) {
        return std::unexpected("the token has expired");
    }
    if (const auto notBefore = decoded->notBefore(); notBefore && *notBefore > now) {
        return std::unexpected("the token is not valid yet");
    }
    auto subject = decoded->subject();
    if (!subject || subject->empty()) {
        return std::unexpected("the token has no subject");
    }
    return std::move(*subject);
}

} // namespace parlomatic::textservice
