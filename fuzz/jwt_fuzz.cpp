// libFuzzer target: any input either decodes into a token whose every claim can be read, or fails
// with one of the three decoding errors. Never a crash, a leak or undefined behaviour.
#include "FuzzTarget.h"
#include "identity/jwt/JWT.h"

namespace {

void touchClaims(const parlomatic::jwt::JWT& token)
{
    for (const auto& [name, value] : token.body().items()) {
        const auto claim = token.claim(name);
        (void)claim.string();
        (void)claim.boolean();
        (void)claim.doubleValue();
        (void)claim.integer();
        (void)claim.date();
        (void)claim.array();
    }
    (void)token.expired();
    (void)token.audience();
    (void)token.issuer();
    (void)token.notBefore();
}

void fuzzOne(std::string_view input)
{
    const auto decoded = parlomatic::jwt::decode(input);
    if (decoded) {
        require(decoded->string() == input && decoded->signature() && decoded->header().is_object() &&
                decoded->body().is_object());
        touchClaims(*decoded);
    } else {
        require(!decoded.error().description().empty());
    }
    (void)parlomatic::jwt::base64UrlDecode(input);
}

} // namespace
