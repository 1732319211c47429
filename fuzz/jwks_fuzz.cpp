// libFuzzer target: the identity service's key set (/.well-known/jwks.json) as the sign-in reads
// it, then used for an ID token's signature. Whatever the body, it is refused or gives keys; a key
// that builds never verifies a signature that nobody made.
#include "FuzzTarget.h"
#include "identity/IDTokenValidator.h"

namespace {

using namespace parlomatic::identity;

void fuzzOne(std::string_view input)
{
    const Response response{.data = std::string(input),
                            .response = parlomatic::HttpResponse{.status = 200, .headers = {}, .body = {}},
                            .error = std::nullopt,
                            .url = "https://id.example/.well-known/jwks.json"};
    const auto keySet = objectHandler<JWKS>(&JWKS::decode)(response);
    if (!keySet) {
        (void)keySet.error().debugDescription();
        return;
    }
    // kid "k", RS256, a signature of 0x00 0x10 0x83.
    static const auto token = parlomatic::jwt::decode("eyJhbGciOiJSUzI1NiIsImtpZCI6ImsifQ.e30.ABCD");
    require(token.has_value());
    const auto error = IDTokenSignatureValidator::verify(*token, *keySet);
    require(error && (error->code() == IDTokenValidationError::Code::invalidSignature ||
                      error->code() == IDTokenValidationError::Code::missingPublicKey));
    for (const JWK& key : keySet->keys) {
        if (const auto built = RS256PublicKey::fromJWK(key)) {
            require(!built->verify("e30.e30", "signature"));
        }
    }
}

} // namespace
