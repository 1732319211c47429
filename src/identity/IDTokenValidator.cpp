#include "identity/IDTokenValidator.h"

#include "common/UniqueResource.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <utility>

namespace parlomatic::identity {
namespace {

using Code = IDTokenValidationError::Code;

constexpr const char* supportedAlgorithm = "RS256";

std::string quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

std::string joined(const std::vector<std::string>& values)
{
    std::string text;
    for (const auto& value : values) {
        text += (text.empty() ? "" : ", ") + value;
    }
    return text;
}

std::optional<std::string> headerText(const jwt::JWT& token, const char* name)
{
    const auto& header = token.header();
    const auto it = header.find(name);
    if (it == header.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

using BigNumber = UniqueCPtr<BIGNUM, BN_free>;
using ParamBuilder = UniqueCPtr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = UniqueCPtr<OSSL_PARAM, OSSL_PARAM_free>;
using KeyContext = UniqueCPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using DigestContext = UniqueCPtr<EVP_MD_CTX, EVP_MD_CTX_free>;

BigNumber bigNumber(const std::optional<std::string>& base64Url)
{
    if (!base64Url) {
        return nullptr;
    }
    const auto bytes = jwt::base64UrlDecode(*base64Url);
    if (!bytes || bytes->empty()) {
        return nullptr;
    }
    return BigNumber(
        BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes->data()), static_cast<int>(bytes->size()), nullptr));
}

// Each claim check reads the claim the way the token's typed accessors give it.
IDTokenClaimsValidator::Validator issuerValidator(std::string expected)
{
    return [expected = std::move(expected)](const jwt::JWT& token) -> std::optional<IDTokenValidationError> {
        const auto actual = token.issuer();
        if (!actual) {
            return IDTokenValidationError(Code::missingIss);
        }
        if (*actual != expected) {
            return IDTokenValidationError(Code::mismatchedIss, *actual, expected);
        }
        return std::nullopt;
    };
}

std::optional<IDTokenValidationError> subjectValidator(const jwt::JWT& token)
{
    const auto subject = token.subject();
    if (!subject || subject->empty()) {
        return IDTokenValidationError(Code::missingSub);
    }
    return std::nullopt;
}

IDTokenClaimsValidator::Validator audienceValidator(std::string expected)
{
    return [expected = std::move(expected)](const jwt::JWT& token) -> std::optional<IDTokenValidationError> {
        const auto audience = token.audience();
        if (!audience) {
            return IDTokenValidationError(Code::missingAud);
        }
        if (token.claim("aud").value->is_string()) {
            if (audience->front() != expected) {
                return IDTokenValidationError(Code::mismatchedAudString, audience->front(), expected);
            }
        } else if (std::ranges::find(*audience, expected) == audience->end()) {
            return IDTokenValidationError(Code::mismatchedAudArray, joined(*audience), expected);
        }
        return std::nullopt;
    };
}

// Leeway is milliseconds of clock skew: added to epoch seconds unconverted, the default would let a
// token pass for almost seventeen hours after it expired.
double leewaySeconds(std::int64_t leeway)
{
    return static_cast<double>(leeway) / 1000.0;
}

IDTokenClaimsValidator::Validator expiryValidator(double baseTime, std::int64_t leeway)
{
    return [baseTime, leeway](const jwt::JWT& token) -> std::optional<IDTokenValidationError> {
        const auto expiry = token.expiresAt();
        if (!expiry) {
            return IDTokenValidationError(Code::missingExp);
        }
        const double expirationTime = *expiry + leewaySeconds(leeway);
        if (!(expirationTime > baseTime)) {
            return IDTokenValidationError::pastExp(baseTime, expirationTime);
        }
        return std::nullopt;
    };
}

std::optional<IDTokenValidationError> issuedAtValidator(const jwt::JWT& token)
{
    if (!token.issuedAt()) {
        return IDTokenValidationError(Code::missingIat);
    }
    return std::nullopt;
}

// A text claim that must equal `expected`.
std::string lowerCased(std::string text)
{
    std::ranges::transform(text, text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

IDTokenClaimsValidator::Validator textValidator(std::string claim, std::string expected, Code missing, Code mismatched,
                                                bool anyCase = false)
{
    return [=](const jwt::JWT& token) -> std::optional<IDTokenValidationError> {
        const auto actual = token.claim(claim).string();
        if (!actual) {
            return IDTokenValidationError(missing);
        }
        if ((anyCase ? lowerCased(*actual) : *actual) != expected) {
            return IDTokenValidationError(mismatched, *actual, expected);
        }
        return std::nullopt;
    };
}

IDTokenClaimsValidator::Validator authTimeValidator(double baseTime, std::int64_t leeway, std::int64_t maxAge)
{
    return [=](const jwt::JWT& token) -> std::optional<IDTokenValidationError> {
        const auto authTime = token.claim("auth_time").date();
        if (!authTime) {
            return IDTokenValidationError(Code::missingAuthTime);
        }
        const double lastAuthTime = *authTime + static_cast<double>(maxAge) + leewaySeconds(leeway);
        if (!(lastAuthTime > baseTime)) {
            return IDTokenValidationError::pastLastAuth(baseTime, lastAuthTime);
        }
        return std::nullopt;
    };
}

} // namespace

IDTokenValidationError::IDTokenValidationError(Code code, std::string actual, std::string expected)
    : m_code(code), m_actual(std::move(actual)), m_expected(std::move(expected))
{}

IDTokenValidationError IDTokenValidationError::pastExp(double baseTime, double expirationTime)
{
    IDTokenValidationError error(Code::pastExp);
    error.m_baseTime = baseTime;
    error.m_time = expirationTime;
    return error;
}

IDTokenValidationError IDTokenValidationError::pastLastAuth(double baseTime, double lastAuthTime)
{
    IDTokenValidationError error(Code::pastLastAuth);
    error.m_baseTime = baseTime;
    error.m_time = lastAuthTime;
    return error;
}

std::string formatSeconds(double seconds)
{
    // Fixed notation: the plain shortest form would print 1700000000 as "1.7e+09".
    char buffer[512];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed).ptr;
    std::string text(buffer, end);
    if (std::isfinite(seconds) && text.find_first_of(".e") == std::string::npos) {
        text += ".0";
    }
    return text;
}

std::string IDTokenValidationError::message() const
{
    switch (m_code) {
    case Code::cannotDecode:
        return "ID token could not be decoded";
    case Code::invalidAlgorithm:
        return "Signature algorithm of " + quoted(m_actual) +
               " is not supported. Expected the ID token to be signed with " + quoted(m_expected);
    case Code::missingPublicKey:
        return "Could not find a public key for Key ID (kid) " + quoted(m_actual);
    case Code::invalidSignature:
        return "Invalid ID token signature";
    case Code::mismatchedIss:
        return "Issuer (iss) claim mismatch in the ID token, expected (" + m_expected + "), found (" + m_actual + ")";
    case Code::missingIss:
        return "Issuer (iss) claim must be a string present in the ID token";
    case Code::missingSub:
        return "Subject (sub) claim must be a string present in the ID token";
    case Code::mismatchedAudString:
        return "Audience (aud) claim mismatch in the ID token; expected (" + m_expected + ") but found (" + m_actual +
               ")";
    case Code::mismatchedAudArray:
        return "Audience (aud) claim mismatch in the ID token; expected (" + m_expected + ") but was not one of (" +
               m_actual + ")";
    case Code::missingAud:
        return "Audience (aud) claim must be a string or array of strings present in the ID token";
    case Code::pastExp:
        return "Expiration time (exp) claim error in the ID token; current time (" + formatSeconds(m_baseTime) +
               ") is after expiration time (" + formatSeconds(m_time) + ")";
    case Code::missingExp:
        return "Expiration time (exp) claim must be a number present in the ID token";
    case Code::missingIat:
        return "Issued At (iat) claim must be a number present in the ID token";
    case Code::mismatchedNonce:
        return "Nonce (nonce) claim value mismatch in the ID token; expected (" + m_expected + "), found (" + m_actual +
               ")";
    case Code::missingNonce:
        return "Nonce (nonce) claim must be a string present in the ID token";
    case Code::mismatchedAzp:
        return "Authorized Party (azp) claim mismatch in the ID token; expected (" + m_expected + "), found (" +
               m_actual + ")";
    case Code::missingAzp:
        return "Authorized Party (azp) claim must be a string present in the ID token when Audience (aud) claim has "
               "multiple values";
    case Code::pastLastAuth:
        return "Authentication Time (auth_time) claim in the ID token indicates that too much time has passed since "
               "the last user authentication. Current time (" +
               formatSeconds(m_baseTime) + ") is after last auth time (" + formatSeconds(m_time) + ")";
    case Code::missingAuthTime:
        return "Authentication Time (auth_time) claim must be a number present in the ID token when Max Age "
               "(max_age) is specified";
    case Code::mismatchedOrgId:
        return "Organization Id (org_id) claim value mismatch in the ID token; expected (" + m_expected + "), found (" +
               m_actual + ")";
    case Code::missingOrgId:
        return "Organization Id (org_id) claim must be a string present in the ID token";
    case Code::mismatchedOrgName:
        return "Organization Name (org_name) claim value mismatch in the ID token; expected (" + m_expected +
               "), found (" + m_actual + ")";
    case Code::missingOrgName:
        return "Organization Name (org_name) claim must be a string present in the ID token";
    }
    return {};
}

std::optional<RS256PublicKey> RS256PublicKey::fromJWK(const JWK& key)
{
    if ((key.usage && *key.usage != "sig") || key.keyType != "RSA" || key.algorithm != supportedAlgorithm) {
        return std::nullopt;
    }
    const auto modulus = bigNumber(key.modulus);
    const auto exponent = bigNumber(key.exponent);
    if (!modulus || !exponent) {
        return std::nullopt;
    }
    const ParamBuilder builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent.get()) != 1) {
        return std::nullopt;
    }
    const Params parameters(OSSL_PARAM_BLD_to_param(builder.get()));
    const KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* built = nullptr;
    if (!parameters || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &built, EVP_PKEY_PUBLIC_KEY, parameters.get()) != 1) {
        return std::nullopt;
    }
    return RS256PublicKey(std::shared_ptr<EVP_PKEY>(built, CFree<EVP_PKEY_free>()));
}

bool RS256PublicKey::verify(std::string_view data, std::string_view signature) const
{
    // Fetched once: an implicit fetch on every verification costs as much as the RSA operation.
    static EVP_MD* const sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    const DigestContext context(EVP_MD_CTX_new());
    return sha256 && context && EVP_DigestVerifyInit(context.get(), nullptr, sha256, nullptr, m_key.get()) == 1 &&
           EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

std::optional<IDTokenValidationError> IDTokenSignatureValidator::checkHeader(const jwt::JWT& token)
{
    const auto algorithm = headerText(token, "alg");
    if (algorithm != supportedAlgorithm) {
        return IDTokenValidationError(Code::invalidAlgorithm, algorithm.value_or("nil"), supportedAlgorithm);
    }
    if (!headerText(token, "kid")) {
        return IDTokenValidationError(Code::missingPublicKey, "nil");
    }
    return std::nullopt;
}

std::optional<IDTokenValidationError> IDTokenSignatureValidator::verify(const jwt::JWT& token,
                                                                        const RS256PublicKey& key)
{
    const std::string& text = token.string();
    const auto signedLength = text.rfind('.');
    const auto signature = jwt::base64UrlDecode(token.signature().value_or(""));
    if (!signature || !key.verify(std::string_view(text).substr(0, signedLength), *signature)) {
        return IDTokenValidationError(Code::invalidSignature);
    }
    return std::nullopt;
}

std::optional<IDTokenValidationError> IDTokenSignatureValidator::verify(const jwt::JWT& token, const JWKS& keySet)
{
    const auto kid = headerText(token, "kid");
    const auto match = std::ranges::find(keySet.keys, kid, &JWK::keyId);
    if (!kid || match == keySet.keys.end()) {
        return IDTokenValidationError(Code::missingPublicKey, kid.value_or("nil"));
    }
    const auto key = RS256PublicKey::fromJWK(*match);
    if (!key) {
        return IDTokenValidationError(Code::invalidSignature);
    }
    return verify(token, *key);
}

std::optional<IDTokenValidationError> IDTokenSignatureValidator::validate(const jwt::JWT& token) const
{
    if (auto error = checkHeader(token)) {
        return error;
    }
    const auto keySet = m_context.jwksRequest.start();
    if (!keySet) {
        return IDTokenValidationError(Code::missingPublicKey, headerText(token, "kid").value_or("nil"));
    }
    return verify(token, *keySet);
}

IDTokenClaimsValidator IDTokenClaimsValidator::forToken(const jwt::JWT& token, const IDTokenValidatorContext& context,
                                                        double now)
{
    IDTokenClaimsValidator claims;
    auto& list = claims.m_validators;
    list.push_back(issuerValidator(context.issuer));
    list.push_back(subjectValidator);
    list.push_back(audienceValidator(context.audience));
    list.push_back(expiryValidator(now, context.leeway));
    list.push_back(issuedAtValidator);
    if (context.nonce) {
        list.push_back(textValidator("nonce", *context.nonce, Code::missingNonce, Code::mismatchedNonce));
    }
    if (const auto audience = token.audience(); audience && audience->size() > 1) {
        list.push_back(textValidator("azp", context.audience, Code::missingAzp, Code::mismatchedAzp));
    }
    if (context.maxAge) {
        list.push_back(authTimeValidator(now, context.leeway, *context.maxAge));
    }
    if (context.organization) {
        if (context.organization->starts_with("org_")) {
            list.push_back(textValidator("org_id", *context.organization, Code::missingOrgId, Code::mismatchedOrgId));
        } else {
            list.push_back(textValidator("org_name", lowerCased(*context.organization), Code::missingOrgName,
                                         Code::mismatchedOrgName, true));
        }
    }
    return claims;
}

std::optional<IDTokenValidationError> IDTokenClaimsValidator::validate(const jwt::JWT& token) const
{
    for (const auto& validator : m_validators) {
        if (auto error = validator(token)) {
            return error;
        }
    }
    return std::nullopt;
}

IDTokenValidator::IDTokenValidator(IDTokenValidatorContext context, const Clock& clock)
    : m_signatureValidator(std::move(context)), m_clock(&clock)
{}

std::optional<IDTokenValidationError> IDTokenValidator::validate(const std::string& idToken) const
{
    const auto token = jwt::decode(idToken);
    if (!token) {
        // The decoding error's description holds the token: it is neither kept nor logged.
        return IDTokenValidationError(Code::cannotDecode);
    }
    if (auto error = m_signatureValidator.validate(*token)) {
        return error;
    }
    return IDTokenClaimsValidator::forToken(*token, context(), m_clock->now()).validate(*token);
}

} // namespace parlomatic::identity
