// libFuzzer target: any input either decodes into a token whose every claim can be read, or fails
// with one of the three decoding errors. Never a crash, a leak or undefined behaviour.
#include "identity/jwt/JWT.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto decoded = parlomatic::jwt::decode(input);
    if (decoded) {
        if (decoded->string() != input || !decoded->signature() || !decoded->header().is_object() ||
            !decoded->body().is_object()) {
            std::abort();
        }
        touchClaims(*decoded);
    } else if (decoded.error().description().empty()) {
        std::abort();
    }
    (void)parlomatic::jwt::base64UrlDecode(input);
    return 0;
}
