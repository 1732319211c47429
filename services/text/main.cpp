// parlomatic-text-service: the text service of the embedded default, on 127.0.0.1 over TLS.
//
//   parlomatic-text-service --cert FILE --key FILE --issuer URL --audience TEXT [--port N]
//       [--jwks-url URL] [--ca-file FILE] [--genders FILE] [--modes DIR] [--dictionaries DIR]
//       [--engine-seconds N] [--grammar-worker FILE] [--host ADDRESS] [--database URL] [--quiet]
//
// --issuer is the identity service's issuer ("https://127.0.0.1:9443/"); its key set is read from
// --jwks-url, by default <issuer>.well-known/jwks.json, trusting --ca-file besides the system's CAs.
// --genders is the store of preferred genders (default <XDG data folder>/parlomatic/genders.json).
// --engine-seconds (default 10) is how long a translation engine may take over a short text before
// it is ended and started anew.
// --grammar-worker is the English grammar worker's script, run with the `node` in PATH (default: the
// one of the source tree this was built from; "none": no grammar worker). Without it, or when it does
// not run, Improve corrects English by its own rules and says so on stderr and in /health.
// --database (a team's deployment) keeps preferred genders in that PostgreSQL database instead of
// --genders (a libpq URI; its password from PGPASSWORD or ~/.pgpass), where the identity service
// reads them; the service's tables are made or updated at start.
// --host is the IPv4 address to listen on (default 127.0.0.1); a team's deployment behind a balancer
// on another machine gives the address the balancer reaches.
// Prints "ready <port>" on stdout once the engines are warm and the port is served. Ends on SIGTERM
// or SIGINT. Exit status 64: bad arguments; 69: an engine or the port is not available.
#include "GenderStore.h"
#include "GrammarChecker.h"
#include "Improver.h"
#include "JwksTokenVerifier.h"
#include "PgGenderStore.h"
#include "TextService.h"
#include "TextTranslator.h"
#include "common/CurlHttpClient.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <memory>
#include <pthread.h>
#include <string>
#include <thread>

using namespace parlomatic;
using namespace parlomatic::textservice;

namespace {

constexpr int usageError = 64;
constexpr int unavailable = 69;

std::filesystem::path dataFolder()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        return std::filesystem::path(xdg) / "parlomatic";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/tmp") / ".local/share/parlomatic";
}

int fail(int status, const std::string& message)
{
    // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
    std::fprintf(stderr, "parlomatic-text-service: %s\n", message.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    std::map<std::string, std::string> args = {
        {"--port", "8443"},
        {"--modes", "/usr/share/apertium/modes"},
        {"--dictionaries", "/usr/share/hunspell"},
        {"--genders", (dataFolder() / "genders.json").string()},
        {"--engine-seconds", "10"},
        {"--grammar-worker", PM_GRAMMAR_WORKER},
        {"--host", "127.0.0.1"},
    };
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--quiet") {
            quiet = true;
        } else if (name.starts_with("--") && i + 1 < argc) {
            args[name] = argv[++i];
        } else {
            return fail(usageError, "unexpected argument " + name + " (see the head of services/text/main.cpp)");
        }
    }
    for (const char* required : {"--cert", "--key", "--issuer", "--audience"}) {
        if (!args.contains(required)) {
            return fail(usageError, std::string("missing ") + required);
        }
    }
    const std::string issuer = args["--issuer"];
    if (!args.contains("--jwks-url")) {
        args["--jwks-url"] = issuer + (issuer.ends_with('/') ? "" : "/") + ".well-known/jwks.json";
    }
    int port = 0;
    int engineSeconds = 0;
    try {
        port = std::stoi(args["--port"]);
        engineSeconds = std::stoi(args["--engine-seconds"]);
    } catch (const std::exception&) {
        return fail(usageError, "--port and --engine-seconds must be numbers");
    }
    if (engineSeconds < 1) {
        return fail(usageError, "--engine-seconds must be at least 1");
    }

    // Signals are taken by one thread with sigwait; every other thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    TextTranslator translator(args["--modes"], std::chrono::seconds(engineSeconds));
    auto warming = std::async(std::launch::async, [&translator] {
        std::string failed;
        return translator.start(&failed) ? std::string() : failed;
    });
    std::unique_ptr<GrammarChecker> grammar;
    std::future<bool> grammarWarming;
    if (args["--grammar-worker"] != "none") {
        grammar = std::make_unique<GrammarChecker>(args["--grammar-worker"]);
        grammarWarming = std::async(std::launch::async, [&grammar] { return grammar->start(); });
    }
    const Improver improver(args["--dictionaries"], grammar.get());

    CurlHttpClient::Options httpOptions;
    if (args.contains("--ca-file")) {
        httpOptions.extraCaFile = args["--ca-file"];
    }
    CurlHttpClient http(httpOptions);
    JwksTokenVerifier verifier(http, args["--jwks-url"], issuer, args["--audience"]);
    std::unique_ptr<PreferredGenders> genders;
    if (args.contains("--database")) {
        std::string reason;
        genders = PgGenderStore::open(args["--database"], &reason);
        if (!genders) {
            return fail(unavailable, reason);
        }
    } else {
        genders = std::make_unique<GenderStore>(args["--genders"]);
    }
    TextService service(translator, improver, verifier, *genders,
                        {.certificateFile = args["--cert"],
                         .keyFile = args["--key"],
                         .logRequests = !quiet,
                         .listenAddress = args["--host"]});

    if (!service.bind(port)) {
        return fail(unavailable, "cannot serve on " + args["--host"] + ":" + std::to_string(port) +
                                     " (the address is not this machine's IPv4 address, the port is taken, or the"
                                     " certificate or key cannot be read)");
    }
    if (!improver.loaded()) {
        return fail(unavailable, "a Hunspell dictionary (en_US, es_MX, pt_BR) is missing in " + args["--dictionaries"]);
    }
    if (const std::string failed = warming.get(); !failed.empty()) {
        return fail(unavailable,
                    "the Apertium direction " + failed + " does not run (modes in " + args["--modes"] + ")");
    }
    if (grammarWarming.valid()) {
        grammarWarming.get(); // not fatal either: Improve keeps its own rules, and the worker is retried
    }
    if (std::string reason; !verifier.fetchKeys(&reason)) {
        // Not fatal: the identity service may start after this one; the set is fetched on first use.
        fail(0, reason);
    }

    std::thread stopper([&service, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        service.stop();
    });
    // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
    std::printf("ready %d\n", service.port());
    std::fflush(stdout);
    const bool served = service.serve();
    // Ends the waiting thread when serving stopped on its own: its sigwait takes the signal.
    // NOLINTNEXTLINE(bugprone-bad-signal-to-kill-thread): the thread blocks it, so it is only woken
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return served ? 0 : unavailable;
}
