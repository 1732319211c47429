#pragma once

#include "common/Clock.h"
#include "identity/JWKS.h"
#include "identity/Request.h"
#include "identity/jwt/JWT.h"

#include <openssl/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::identity {

// Why an ID token was refused. message() is the fixed text of each case; it never holds the token.
class IDTokenValidationError {
public:
    enum class Code {
        cannotDecode,
        // signature
        invalidAlgorithm, // actual, expected
        missingPublicKey, // actual = the kid, or "nil"
        invalidSignature,
        // claims
        mismatchedIss, // actual, expected
        missingIss,
        missingSub,
        mismatchedAudString, // actual, expected
        mismatchedAudArray,  // actual = the values joined with ", ", expected
        missingAud,
        pastExp, // baseTime, time = exp + leeway
        missingExp,
        missingIat,
        mismatchedNonce, // actual, expected
        missingNonce,
        mismatchedAzp, // actual, expected
        missingAzp,
        pastLastAuth, // baseTime, time = auth_time + max age + leeway
        missingAuthTime,
        mismatchedOrgId, // actual, expected
        missingOrgId,
        mismatchedOrgName, // actual, expected
        missingOrgName,
    };

    explicit IDTokenValidationError(Code code, std::string actual = {}, std::string expected = {});
    static IDTokenValidationError pastExp(double baseTime, double expirationTime);
    static IDTokenValidationError pastLastAuth(double baseTime, double lastAuthTime);

    Code code() const { return m_code; }
    const std::string& actual() const { return m_actual; }
    const std::string& expected() const { return m_expected; }
    double baseTime() const { return m_baseTime; }
    double time() const { return m_time; }

    std::string message() const;

    bool operator==(const IDTokenValidationError&) const = default;

private:
    Code m_code;
    std::string m_actual;
    std::string m_expected;
    double m_baseTime = 0;
    double m_time = 0;
};

// Seconds since 1970 as in the validation messages: the shortest text that reads back exactly, a
// whole number keeping ".0".
std::string formatSeconds(double seconds);

// What an ID token is checked against.
struct IDTokenValidatorContext {
    // The tenant base URL as text, ending in "/"; "iss" must equal it exactly.
    std::string issuer;
    // The client identifier: "aud" must hold it and, with several audiences, "azp" must equal it.
    std::string audience;
    // The tenant's key set; started once per validation, never cached.
    Request<JWKS> jwksRequest;
    // Clock skew allowed on "exp" and "auth_time", in milliseconds.
    std::int64_t leeway = 60000;
    std::optional<std::int64_t> maxAge; // seconds
    std::optional<std::string> nonce;
    // "org_..." is compared with "org_id", anything else with "org_name" (case-insensitively).
    std::optional<std::string> organization;
};

// An RSA public key for RS256 signatures, built from a JSON Web Key.
class RS256PublicKey {
public:
    // Nothing unless the key is usable for RS256 signatures: "use" absent or "sig", "kty" "RSA",
    // "alg" "RS256", and "n" and "e" decodable base64url.
    static std::optional<RS256PublicKey> fromJWK(const JWK& key);

    // RSASSA-PKCS1-v1_5 with SHA-256 over `data`.
    bool verify(std::string_view data, std::string_view signature) const;

private:
    explicit RS256PublicKey(std::shared_ptr<EVP_PKEY> key) : m_key(std::move(key)) {}

    std::shared_ptr<EVP_PKEY> m_key;
};

// The signature check: algorithm RS256, a "kid" present in the tenant's key set, and a signature
// that verifies with that key. Nothing of a token is trusted before it passes.
class IDTokenSignatureValidator {
public:
    explicit IDTokenSignatureValidator(IDTokenValidatorContext context) : m_context(std::move(context)) {}

    // Fetches the key set (blocking) and verifies.
    std::optional<IDTokenValidationError> validate(const jwt::JWT& token) const;

    // The header's "alg" and "kid": invalidAlgorithm, or missingPublicKey("nil").
    static std::optional<IDTokenValidationError> checkHeader(const jwt::JWT& token);
    // The first key of the set with the token's kid, verified: missingPublicKey or invalidSignature.
    static std::optional<IDTokenValidationError> verify(const jwt::JWT& token, const JWKS& keySet);
    // With a key already built (the kid has been matched by the caller).
    static std::optional<IDTokenValidationError> verify(const jwt::JWT& token, const RS256PublicKey& key);

    const IDTokenValidatorContext& context() const { return m_context; }

private:
    IDTokenValidatorContext m_context;
};

// The claim checks, in order; the first failure ends them.
class IDTokenClaimsValidator {
public:
    using Validator = std::function<std::optional<IDTokenValidationError>(const jwt::JWT&)>;

    // Issuer, subject, audience, expiry, issued-at; then nonce (with a context nonce), authorized
    // party (with several audiences in the token), authentication time (with a max age) and
    // organization (with one), for a token checked at `now`.
    static IDTokenClaimsValidator forToken(const jwt::JWT& token, const IDTokenValidatorContext& context, double now);

    std::optional<IDTokenValidationError> validate(const jwt::JWT& token) const;

    const std::vector<Validator>& validators() const { return m_validators; }

private:
    std::vector<Validator> m_validators;
};

// Validates ID tokens: decoding, then the signature against the context's key set, then the
// claims. No error means the token is valid.
class IDTokenValidator {
public:
    // `clock` must outlive the validator.
    explicit IDTokenValidator(IDTokenValidatorContext context, const Clock& clock = systemClock());

    // Blocks for the key-set request: call it from a worker thread.
    std::optional<IDTokenValidationError> validate(const std::string& idToken) const;

    const IDTokenValidatorContext& context() const { return m_signatureValidator.context(); }

private:
    IDTokenSignatureValidator m_signatureValidator;
    const Clock* m_clock;
};

} // namespace parlomatic::identity
