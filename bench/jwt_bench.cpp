// Token decoding: a typical ID token of about 900 bytes, and a claim lookup on a decoded token.
#include "identity/jwt/JWT.h"

#include "support/Base64Url.h"

#include <benchmark/benchmark.h>

namespace {

std::string typicalIdToken()
{
    const std::string header = R"({"alg":"RS256","typ":"JWT","kid":"X5eXk4xyojNFum1kl2Ytv8dlNP4-c57dO6QGTVBwaNk"})";
    const std::string body =
        R"({"pm_org_id":"org_4f1c2a9be8d7","pm_gender":"feminine","nickname":"ana.souza","name":"Ana Souza",)"
        R"("picture":"https://images.example.com/avatars/ana-souza.png","updated_at":"2026-12-01T10:21:45.123Z",)"
        R"("email":"ana.souza@example.com","email_verified":true,"iss":"https://login.parlomatic.example/",)"
        R"("aud":"9c1d4c6b2e7f4a0c8d3e5b6a7f8e9d0c","iat":1764583305,"exp":1764619305,)"
        R"("sub":"email|64f0c7b2a9e4d3c1b0a98765","sid":"Qw3rTy-UiOp4sDfGhJkL","nonce":"c2VjcmV0LW5vbmNlLXZhbHVl"})";
    // A 256-byte RS256 signature is 342 base64url characters.
    return parlomatic::testing::makeToken(header, body, std::string(342, 'S'));
}

void BM_DecodeIdToken(benchmark::State& state)
{
    const std::string token = typicalIdToken();
    for (auto _ : state) {
        auto decoded = parlomatic::jwt::decode(token);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["bytes"] = static_cast<double>(token.size());
}
BENCHMARK(BM_DecodeIdToken);

void BM_ClaimLookup(benchmark::State& state)
{
    const auto decoded = parlomatic::jwt::decode(typicalIdToken());
    for (auto _ : state) {
        auto email = decoded->claim("email").string();
        benchmark::DoNotOptimize(email);
    }
}
BENCHMARK(BM_ClaimLookup);

} // namespace
