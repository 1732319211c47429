// The local text service through the product's client: a 20-word English sentence into Spanish and
// Portuguese (through Spanish), a misspelt one improved, a 50-word paragraph improved (median and
// 95th percentile); the time from start to first answer (ready_s) and the memory of this process
// (service and client) and of the Apertium programs and the grammar worker (by PSS). And Improve's
// quality on bench/data/improve-english.tsv, with the grammar worker and by the rules alone.
#include "GenderStore.h"
#include "GrammarChecker.h"
#include "TextService.h"
#include "common/CurlHttpClient.h"
#include "service/Translator.h"
#include "support/TlsTestServer.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

namespace {

using namespace parlomatic;
using namespace parlomatic::textservice;

// Token checks have their own tests; here every token is taken, so the figures are the engines'.
class AcceptingVerifier final : public AccessTokenVerifier {
public:
    std::expected<std::string, std::string> verify(std::string_view) override { return "bench"; }
};

// Kilobytes of a /proc/<pid>/smaps_rollup or status line, 0 when unreadable.
double kilobytes(const std::string& file, const std::string& key)
{
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key)) {
            return std::stod(line.substr(key.size()));
        }
    }
    return 0;
}

struct Service {
    test::TlsTestServer credentials; // only its CA and server certificate are used
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("pm-text-bench-" + std::to_string(getpid()));
    std::unique_ptr<TextTranslator> translator;
    GrammarChecker grammar{PM_GRAMMAR_WORKER};
    std::unique_ptr<Improver> improver;
    AcceptingVerifier verifier;
    std::unique_ptr<GenderStore> genders;
    std::unique_ptr<TextService> service;
    std::thread serving;
    // Start to the first translation answered.
    double readySeconds = 0;

    Service()
    {
        std::filesystem::create_directories(folder);
        credentials.writeServerCredentials(folder / "cert.pem", folder / "key.pem");
        const auto start = std::chrono::steady_clock::now();
        translator = std::make_unique<TextTranslator>("/usr/share/apertium/modes");
        auto warm = std::async(std::launch::async, [this] { return translator->start() && grammar.start(); });
        improver = std::make_unique<Improver>("/usr/share/hunspell", &grammar);
        warm.get();
        genders = std::make_unique<GenderStore>(folder / "genders.json");
        service = std::make_unique<TextService>(*translator, *improver, verifier, *genders,
                                                TextService::Options{.certificateFile = folder / "cert.pem",
                                                                     .keyFile = folder / "key.pem",
                                                                     .keepAliveSeconds = 1,
                                                                     .logRequests = false});
        service->bind(0);
        serving = std::thread([this] { service->serve(); });
        // Ready: from the start to the first translation answered through the service.
        CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = credentials.caFile()});
        const service::Translator client(http, domain());
        while (!client.translate("ready", "es-MX", "token", std::string("en"), std::nullopt) &&
               std::chrono::steady_clock::now() - start < std::chrono::minutes(1)) {
        }
        readySeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ~Service()
    {
        service->stop();
        serving.join();
        std::filesystem::remove_all(folder);
    }
    std::string domain() const { return "127.0.0.1:" + std::to_string(service->port()); }
};

Service& service()
{
    static Service instance;
    return instance;
}

constexpr const char* sentence =
    "The new system helps people write better emails and documents every day, and it works "
    "with many different applications.";

// One call through the client per iteration; `call` says whether it succeeded.
void BM_Text(benchmark::State& state, const std::function<bool(const service::Translator&)>& call)
{
    auto& s = service();
    CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = s.credentials.caFile()});
    const service::Translator client(http, s.domain());
    for ([[maybe_unused]] auto _ : state) {
        if (!call(client)) {
            state.SkipWithError("the call failed");
            break;
        }
    }
}

const auto translateInto = [](const char* target) {
    return [target](const service::Translator& client) {
        return client.translate(sentence, target, "token", std::string("en"), std::nullopt).has_value();
    };
};
// 50 words with a slip of most kinds Improve corrects.
constexpr std::string_view paragraph =
    "Their going to the park tomorow, and i dont think we could of stopped them. The weather is nice and and "
    "the kids want to play outside for a hour or two. I have alot of work to do, but I will recieve the letter "
    "soon and answer it.";

// Improves the paragraph 200 times (warm): its median and 95th percentile.
void BM_ImproveParagraph(benchmark::State& state)
{
    auto& s = service();
    CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = s.credentials.caFile()});
    const service::Translator client(http, s.domain());
    const auto first = client.improve(std::string(paragraph), "token");
    if (!first || *first !=
                      "They're going to the park tomorrow, and I don't think we could have stopped them. The "
                      "weather is nice and the kids want to play outside for an hour or two. I have a lot of work "
                      "to do, but I will receive the letter soon and answer it.") {
        state.SkipWithError("the paragraph was not corrected");
    }
    std::vector<double> times;
    for ([[maybe_unused]] auto _ : state) {
        for (int i = 0; i < 220; ++i) {
            // Another text each time: Harper keeps the findings of texts it has just seen.
            const std::string text = std::string(paragraph.substr(0, paragraph.find(" two."))) + " " +
                                     std::to_string(i) + std::string(paragraph.substr(paragraph.find(". I have")));
            const auto start = std::chrono::steady_clock::now();
            benchmark::DoNotOptimize(client.improve(text, "token"));
            times.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    }
    times.erase(times.begin(), times.begin() + 20);
    std::ranges::sort(times);
    state.counters["median_ms"] = times[times.size() / 2];
    state.counters["p95_ms"] = times[times.size() * 95 / 100];
}
BENCHMARK(BM_ImproveParagraph)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// Of the set's sentences with slips, those corrected exactly; of its right ones, those changed (each
// shown on stderr), with the grammar worker and without it.
void BM_ImproveQuality(benchmark::State& state)
{
    auto& s = service();
    const Improver rulesOnly("/usr/share/hunspell");
    for ([[maybe_unused]] auto _ : state) {
        std::ifstream set(PM_SOURCE_DIR "/bench/data/improve-english.tsv");
        for (std::string line; std::getline(set, line);) {
            const auto tab = line.find('\t');
            if (line.starts_with('#') || tab == std::string::npos) {
                continue;
            }
            const std::string text = line.substr(0, tab);
            const std::string expected = line.substr(tab + 1);
            for (const auto& [name, improver] :
                 {std::pair<const char*, const Improver*>{"", s.improver.get()}, {"rules_", &rulesOnly}}) {
                const std::string improved = improver->improve(text, Lang::en);
                const std::string counter = std::string(name) + (text == expected ? "right_changed" : "corrected");
                state.counters[counter] += text == expected ? improved != text : improved == expected;
                if (improved != expected) {
                    // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
                    std::fprintf(stderr, "%s%s -> %s\n", name, text.c_str(), improved.c_str());
                }
            }
        }
    }
}
BENCHMARK(BM_ImproveQuality)->Iterations(1);

// NOLINTNEXTLINE(cert-err58-cpp): registered at start as BENCHMARK does; a throw there ends the bench
[[maybe_unused]] const bool registered = [] {
    const std::pair<const char*, std::function<bool(const service::Translator&)>> calls[] = {
        {"BM_Text/TranslateEnglishToSpanish", translateInto("es-MX")},
        {"BM_Text/TranslateEnglishToPortuguese", translateInto("pt-BR")},
        {"BM_Text/Improve", [](const service::Translator& client) {
             return client.improve("i recieve the leter tomorow , and we wil mete at the libary .", "token")
                 .has_value();
         }}};
    for (const auto& [name, call] : calls) {
        benchmark::RegisterBenchmark(name, BM_Text, call)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
    }
    return true;
}();

// Not a timing: the start-up and memory figures, as counters.
void BM_ReadinessAndMemory(benchmark::State& state)
{
    auto& s = service();
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(s.readySeconds);
    }
    double pipelines = 0;
    for (const int pid : s.translator->processIds()) {
        pipelines += kilobytes("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:");
    }
    state.counters["ready_s"] = s.readySeconds;
    state.counters["service_rss_MB"] = kilobytes("/proc/self/status", "VmRSS:") / 1024;
    state.counters["apertium_pss_MB"] = pipelines / 1024;
    state.counters["apertium_programs"] = static_cast<double>(s.translator->processIds().size());
    double worker = 0;
    for (const int pid : s.grammar.processIds()) {
        worker += kilobytes("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss:");
    }
    state.counters["grammar_worker_pss_MB"] = worker / 1024;
}
BENCHMARK(BM_ReadinessAndMemory)->Iterations(1);

} // namespace
