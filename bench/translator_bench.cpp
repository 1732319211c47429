// The client-side cost of one translate call over a kept-alive TLS connection to a loopback
// server, with the TLS handshakes and connections all those calls needed.
#include "common/CurlHttpClient.h"
#include "service/Translator.h"
#include "support/TlsTestServer.h"

#include <benchmark/benchmark.h>

namespace {

using namespace parlomatic;

// cpu_time is the calling thread's CPU time per call (the client's cost); real_time includes the
// server's turn-around on the same machine.
void BM_TranslateKeepAlive(benchmark::State& state)
{
    test::TlsTestServer server;
    server.server().Post("/v1/translate", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"data":{"translations":[{"translatedText":"Olá, mundo"}]}})", "application/json");
    });
    if (!server.start()) {
        state.SkipWithError("cannot start the loopback server");
        return;
    }
    CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = server.caFile()});
    const service::Translator translator(http, server.hostAndPort());
    // The one handshake, outside the timing.
    if (!translator.translate("Hello, world", "pt-BR", "token", "en", service::Gender::feminine)) {
        state.SkipWithError("the first call failed");
        return;
    }
    while (state.KeepRunning()) {
        auto result = translator.translate("Hello, world", "pt-BR", "token", "en", service::Gender::feminine);
        if (!result) {
            state.SkipWithError("translate failed");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.counters["handshakes"] = server.handshakes();
    state.counters["calls"] = static_cast<double>(state.iterations());
}
BENCHMARK(BM_TranslateKeepAlive)->Unit(benchmark::kMicrosecond)->Repetitions(5)->DisplayAggregatesOnly(true);

} // namespace
