// ID-token validation of a typical RS256 token (2048-bit key), the key already built from the key
// set: decoding, header, signature and claim checks, as sign-in runs them after the key-set fetch.
#include "identity/IDTokenValidator.h"

#include "support/TestKeys.h"

#include <benchmark/benchmark.h>

namespace {

using namespace parlomatic;

void BM_ValidateIdToken(benchmark::State& state)
{
    const testing::TestRsaKey signer("X5eXk4xyojNFum1kl2Ytv8dlNP4-c57dO6QGTVBwaNk");
    const double now = 1764583305;
    const std::string token = signer.token({{"alg", "RS256"}, {"typ", "JWT"}, {"kid", signer.kid()}},
                                           {{"iss", "https://login.parlomatic.example/"},
                                            {"sub", "email|64f0c7b2a9e4d3c1b0a98765"},
                                            {"aud", "9c1d4c6b2e7f4a0c8d3e5b6a7f8e9d0c"},
                                            {"iat", now},
                                            {"exp", now + 36000},
                                            {"email", "ana.souza@example.com"},
                                            {"email_verified", true},
                                            {"pm_org_id", "org_4f1c2a9be8d7"},
                                            {"pm_gender", "feminine"},
                                            {"name", "Ana Souza"},
                                            {"sid", "Qw3rTy-UiOp4sDfGhJkL"}});
    const auto keySet = identity::JWKS::decode({{"keys", {signer.jwk()}}});
    const auto key = identity::RS256PublicKey::fromJWK(keySet->keys.front());
    const identity::IDTokenValidatorContext context{"https://login.parlomatic.example/",
                                                    "9c1d4c6b2e7f4a0c8d3e5b6a7f8e9d0c",
                                                    identity::Request<identity::JWKS>(nullptr, "", "GET", {}),
                                                    60000,
                                                    std::nullopt,
                                                    std::nullopt,
                                                    std::nullopt};
    for (auto _ : state) {
        const auto decoded = jwt::decode(token);
        auto error = identity::IDTokenSignatureValidator::checkHeader(*decoded);
        if (!error) {
            error = identity::IDTokenSignatureValidator::verify(*decoded, *key);
        }
        if (!error) {
            error = identity::IDTokenClaimsValidator::forToken(*decoded, context, now).validate(*decoded);
        }
        if (error) {
            state.SkipWithError(error->message().c_str());
            break;
        }
    }
    state.counters["bytes"] = static_cast<double>(token.size());
}
BENCHMARK(BM_ValidateIdToken)->Repetitions(9)->ReportAggregatesOnly(true);

} // namespace
