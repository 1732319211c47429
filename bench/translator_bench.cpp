// The client-side cost of one translate call over a kept-alive TLS connection to a loopback
// server, and how many TLS handshakes 100 sequential calls need.
#include "common/CurlHttpClient.h"
#include "service/Translator.h"
#include "support/TlsTestServer.h"

#include <benchmark/benchmark.h>

#include <memory>

namespace {

using namespace parlomatic;

// The loopback text service, or none (with the benchmark marked as failed) when it cannot start.
std::unique_ptr<test::TlsTestServer> startTextService(benchmark::State& state)
{
    auto server = std::make_unique<test::TlsTestServer>();
    server->server().Post("/v1/translate", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(R"({"data":{"translations":[{"translatedText":"Olá, mundo"}]}})", "application/json");
    });
    if (!server->start()) {
        state.SkipWithError("cannot start the loopback server");
        return nullptr;
    }
    return server;
}

CurlHttpClient clientFor(const test::TlsTestServer& server)
{
    return CurlHttpClient(CurlHttpClient::Options{.extraCaFile = server.caFile()});
}

// cpu_time is the calling thread's CPU time per call (the client's cost); real_time includes the
// server's turn-around on the same machine.
void BM_TranslateKeepAlive(benchmark::State& state)
{
    const auto server = startTextService(state);
    if (!server) {
        return;
    }
    auto http = clientFor(*server);
    const Translator translator(http, server->hostAndPort());
    translator.translate("Hello, world", "pt-BR", "token", "en", Gender::feminine); // the one handshake
    for (auto _ : state) {
        auto result = translator.translate("Hello, world", "pt-BR", "token", "en", Gender::feminine);
        if (!result) {
            state.SkipWithError("translate failed");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.counters["handshakes"] = server->handshakes();
    state.counters["connections"] = server->connections();
    state.counters["calls"] = static_cast<double>(state.iterations());
}
BENCHMARK(BM_TranslateKeepAlive)->Unit(benchmark::kMicrosecond)->Repetitions(5)->DisplayAggregatesOnly(true);

void BM_HandshakesFor100Calls(benchmark::State& state)
{
    const auto server = startTextService(state);
    if (!server) {
        return;
    }
    int handshakes = 0;
    int connections = 0;
    for (auto _ : state) {
        const int before = server->handshakes();
        const int connectionsBefore = server->connections();
        auto http = clientFor(*server);
        const Translator translator(http, server->hostAndPort());
        for (int i = 0; i < 100; ++i) {
            benchmark::DoNotOptimize(translator.translate("Hello, world", "pt-BR", "token", std::nullopt, {}));
        }
        handshakes = server->handshakes() - before;
        connections = server->connections() - connectionsBefore;
    }
    state.counters["handshakes_per_100_calls"] = handshakes;
    state.counters["connections_per_100_calls"] = connections;
}
BENCHMARK(BM_HandshakesFor100Calls)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
