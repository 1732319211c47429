// The text service with its real engines, against an identity service that only publishes its key
// set: under the product's clients and under clients that send too much, too slowly or too long a
// text, and with an engine that stops; the engines also on their own.
#include "TextService.h"
#include "GenderStore.h"
#include "GrammarChecker.h"
#include "Improver.h"
#include "JwksTokenVerifier.h"
#include "Languages.h"
#include "common/CurlHttpClient.h"
#include "service/Language.h"
#include "service/Translator.h"
#include "service/UserMetadata.h"
#include "support/ChildProcess.h"
#include "support/TestKeys.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <fstream>
#include <future>
#include <thread>
#include <tuple>

namespace parlomatic::textservice {
namespace {

using nlohmann::json;
using parlomatic::testing::base64UrlEncode;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using SigningKey = parlomatic::testing::TestRsaKey;

constexpr const char* audience = "https://api.parlomatic.localhost/";

// Built once for the program: the engines take seconds to start. The service has the program's
// limits, and engines that may take 2 s over a short text.
struct World {
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("pm-text-service-" + std::to_string(getpid()));
    SigningKey keyA{"key-a"};
    SigningKey keyB{"key-b"};
    std::atomic<bool> publishB{false};
    std::atomic<int> keySetFetches{0};
    test::TlsTestServer identity;
    std::string issuer = identity.baseURL() + "/";
    CurlHttpClient http{CurlHttpClient::Options{.extraCaFile = identity.caFile()}};
    TextTranslator translator{"/usr/share/apertium/modes", std::chrono::seconds(2)};
    GrammarChecker grammar{PM_GRAMMAR_WORKER};
    Improver improver{"/usr/share/hunspell", &grammar};
    Improver rulesOnly{"/usr/share/hunspell"};
    JwksTokenVerifier verifier{http, issuer + ".well-known/jwks.json", issuer, audience};
    GenderStore genders{folder / "genders.json"};
    std::unique_ptr<TextService> service;
    std::jthread serving;

    World()
    {
        std::filesystem::create_directories(folder);
        identity.server().Get("/.well-known/jwks.json", [this](const httplib::Request&, httplib::Response& r) {
            keySetFetches.fetch_add(1);
            json keys = json::array({keyA.jwk()});
            if (publishB) {
                keys.push_back(keyB.jwk());
            }
            r.set_content(json{{"keys", keys}}.dump(), "application/json");
        });
        identity.start();
        identity.writeServerCredentials(folder / "cert.pem", folder / "key.pem");
        service = std::make_unique<TextService>(translator, improver, verifier, genders,
                                                TextService::Options{.certificateFile = folder / "cert.pem",
                                                                     .keyFile = folder / "key.pem",
                                                                     .logRequests = false});
    }
    ~World()
    {
        service->stop(); // `serving` ends, and is joined as it goes
        std::filesystem::remove_all(folder);
    }

    std::string domain() const { return "127.0.0.1:" + std::to_string(service->port()); }

    json claims(const json& changes = json::object()) const
    {
        json body = {{"iss", issuer},
                     {"aud", json::array({audience, "https://other/"})},
                     {"sub", "user-1"},
                     {"exp", std::time(nullptr) + 600}};
        if (changes.is_object()) {
            body.update(changes);
        }
        return body;
    }
    std::string token(const json& changes = json::object(), const SigningKey* key = nullptr) const
    {
        key = key != nullptr ? key : &keyA;
        return key->token({{"alg", "RS256"}, {"typ", "at+jwt"}, {"kid", key->kid()}}, claims(changes));
    }

    HttpResult call(const std::string& method, const std::string& path, const std::string& body,
                    const std::optional<std::string>& bearer, HttpClient* client = nullptr,
                    std::chrono::milliseconds limit = 60s)
    {
        HttpRequest request{.method = method,
                            .url = "https://" + domain() + path,
                            .headers = {{"Content-Type", "application/json"}},
                            .body = body,
                            .timeout = limit};
        if (bearer) {
            request.headers.emplace_back("Authorization", "Bearer " + *bearer);
        }
        return (client != nullptr ? *client : http).send(request);
    }
    HttpResult translate(HttpClient& client, const std::string& text, const char* source, const char* target,
                         std::chrono::milliseconds limit = 5s)
    {
        return call("POST", "/v1/translate", json{{"q", text}, {"source", source}, {"target", target}}.dump(), token(),
                    &client, limit);
    }

    // A field of this process's status in kB: VmRSS now, VmHWM its peak.
    static long memoryKb(const std::string& field)
    {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with(field + ":")) {
                return std::stol(line.substr(field.size() + 1));
            }
        }
        return -1;
    }
};

World* world = nullptr;

class TextServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        world = new World;
        ASSERT_TRUE(world->translator.start()) << "Apertium's eng-spa and es-pt pairs must be installed";
        ASSERT_TRUE(world->improver.loaded()) << "hunspell-en-us, hunspell-es and hunspell-pt-br must be installed";
        ASSERT_TRUE(world->grammar.start()) << "the grammar worker's packages must be installed (scripts/setup)";
        ASSERT_TRUE(world->verifier.fetchKeys());
        ASSERT_TRUE(world->service->bind(0));
        world->serving = std::jthread([] { world->service->serve(); });
    }
    static void TearDownTestSuite()
    {
        delete world;
        world = nullptr;
    }

    static HttpResponse call(const std::string& method, const std::string& path, const std::string& body,
                             const std::optional<std::string>& bearer = world->token())
    {
        auto response = world->call(method, path, body, bearer);
        EXPECT_TRUE(response.has_value());
        return response.value_or(HttpResponse{});
    }
    static std::string translate(std::string_view text, Lang source, Lang target)
    {
        auto result = world->translator.translate(text, source, target);
        EXPECT_TRUE(result.has_value());
        return result.value_or("<failed>");
    }
};

// A client over a raw socket for what no well-behaved client sends; every read and write gives up
// after 3 s. Without TLS the connection is only opened, not waited for.
class RawClient {
public:
    explicit RawClient(bool tls = true)
    {
        static const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                               &SSL_CTX_free);
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (tls ? 0 : SOCK_NONBLOCK), 0);
        const timeval limit{.tv_sec = 3, .tv_usec = 0};
        setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(world->service->port()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool connected = m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (connected && tls) {
            m_ssl.reset(SSL_new(context.get()));
            SSL_set_fd(m_ssl.get(), m_fd);
            m_ok = SSL_connect(m_ssl.get()) == 1;
        }
    }
    ~RawClient()
    {
        m_ssl.reset();
        ::close(m_fd);
    }

    bool send(std::string_view data)
    {
        while (m_ok && !data.empty()) {
            const int n = SSL_write(m_ssl.get(), data.data(), static_cast<int>(data.size()));
            m_ok = n > 0;
            data.remove_prefix(m_ok ? static_cast<std::size_t>(n) : 0);
        }
        return m_ok;
    }
    // The status of the answer; 0 when none came.
    int status()
    {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n") == std::string::npos) {
            const int n = SSL_read(m_ssl.get(), buffer, sizeof buffer);
            if (n <= 0) {
                return 0;
            }
            head.append(buffer, static_cast<std::size_t>(n));
        }
        return head.starts_with("HTTP/1.1 ") ? std::atoi(head.c_str() + 9) : 0;
    }
    // True when the service ends the connection within `limit`.
    bool closedWithin(SteadyClock::duration limit)
    {
        const auto deadline = SteadyClock::now() + limit;
        char buffer[4096];
        while (SteadyClock::now() < deadline) {
            const auto n =
                m_ssl ? SSL_read(m_ssl.get(), buffer, sizeof buffer) : ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                return true;
            }
            if (!m_ssl && n < 0) {
                pollfd wait{.fd = m_fd, .events = POLLIN, .revents = 0};
                ::poll(&wait, 1, 200);
            }
        }
        return false;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
    std::unique_ptr<SSL, decltype(&SSL_free)> m_ssl{nullptr, &SSL_free};
};

// The same short sentence in each language.
std::string houseIsBig(std::string_view language)
{
    return language == "en" ? "The house is big." : language == "es" ? "La casa es grande." : "A casa é grande.";
}

// Translates a short sentence about ten times a second on its own connection until stopped; then
// every call must have been answered with its own translation, none slower than a second.
class NormalClient {
public:
    explicit NormalClient(const char* source = "en", const char* target = "es")
        : m_thread([this, source, target](const std::stop_token& stop) { run(stop, source, target); })
    {}
    ~NormalClient() { stop(); }

    void stop()
    {
        if (m_thread.joinable()) {
            m_thread.request_stop();
            m_thread.join();
            EXPECT_GT(m_calls, 0);
            EXPECT_EQ(m_failures, 0) << "of " << m_calls;
            EXPECT_LT(m_worst, 1s);
        }
    }

private:
    void run(const std::stop_token& stop, const char* source, const char* target)
    {
        CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = world->identity.caFile()});
        std::mutex mutex;
        std::condition_variable_any pause;
        std::unique_lock lock(mutex);
        while (!stop.stop_requested()) {
            const auto start = SteadyClock::now();
            const auto answer = world->translate(http, houseIsBig(source), source, target);
            m_worst = std::max(m_worst, SteadyClock::now() - start);
            ++m_calls;
            m_failures += !answer || answer->status != 200 ||
                          json::parse(answer->body, nullptr, false)["data"]["translations"][0]["translatedText"] !=
                              houseIsBig(target);
            pause.wait_for(lock, stop, 100ms, [] { return false; });
        }
    }

    int m_calls = 0; // read only once the thread has ended
    int m_failures = 0;
    SteadyClock::duration m_worst{};
    std::jthread m_thread;
};

TEST_F(TextServiceTest, AnswersTheClientsTranslateImproveAndMetadataCalls)
{
    const service::Translator client(world->http, world->domain());
    const std::string sentence = "The house is big and the garden is beautiful.";
    const auto spanish =
        client.translate(sentence, "es-MX", world->token(), std::string("en"), service::Gender::feminine);
    ASSERT_TRUE(spanish.has_value());
    EXPECT_EQ(spanish->text, "La casa es grande y el jardín es bello.");
    // Without "source" the service detects it.
    const auto portuguese = client.translate(sentence, "pt-BR", world->token(), std::nullopt, std::nullopt);
    ASSERT_TRUE(portuguese.has_value());
    EXPECT_EQ(portuguese->text, "A casa é grande e o jardim é belo.");
    EXPECT_EQ(client.improve("i recieve the leter tomorow .", world->token()), "I receive the letter tomorrow.");
    // Every language the client offers, sent as it sends them, and the recogniser's tags.
    for (const service::Language language : service::allLanguages) {
        const std::string languageCode(code(language));
        SCOPED_TRACE(languageCode);
        EXPECT_TRUE(client.translate(sentence, languageCode, world->token(), languageCode.substr(0, 2), std::nullopt));
        EXPECT_TRUE(client.translate(sentence, "en-US", world->token(), languageCode, service::Gender::masculine));
    }
    const service::UserMetadata metadata(world->http, world->domain());
    EXPECT_TRUE(metadata.updateUserMetadata(service::Gender::feminine, world->token()));
    EXPECT_TRUE(metadata.updateUserMetadata(service::Gender::masculine, world->token({{"sub", "user-2"}})));
    const GenderStore genders(world->folder / "genders.json");
    EXPECT_EQ(genders.get("user-1"), "feminine");
    EXPECT_EQ(genders.get("user-2"), "masculine");
    EXPECT_EQ(std::filesystem::status(genders.file()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(TextServiceTest, RefusesMissingAndBadTokens)
{
    const auto now = std::time(nullptr);
    const SigningKey stranger{"key-a"}; // the right key id, another key
    const std::string good = world->token();
    const auto refused = [](const char* what, const std::optional<std::string>& bearer) {
        SCOPED_TRACE(what);
        const auto response = call("POST", "/v1/translate", R"({"q":"Hello.","target":"es"})", bearer);
        EXPECT_EQ(response.status, 401);
        EXPECT_TRUE(response.header("WWW-Authenticate").has_value());
        EXPECT_TRUE(json::parse(response.body, nullptr, false).contains("error"));
    };
    refused("no token", std::nullopt);
    refused("not a JWT", "abc");
    refused("unsigned", parlomatic::testing::makeToken(R"({"alg":"none"})", world->claims().dump(), ""));
    refused("another key", world->token({}, &stranger));
    refused("altered body", good.substr(0, good.find('.') + 1) +
                                base64UrlEncode(world->claims({{"sub", "admin"}}).dump()) +
                                good.substr(good.rfind('.')));
    refused("another issuer", world->token({{"iss", "https://elsewhere/"}}));
    refused("another audience", world->token({{"aud", "https://other/"}}));
    refused("expired", world->token({{"exp", now - 1}}));
    refused("no expiry", world->token({{"exp", nullptr}}));
    refused("not yet valid", world->token({{"nbf", now + 600}}));
    refused("no subject", world->token({{"sub", ""}}));
}

// A token of a key the held set lacks fetches the set again, but at most once per interval.
TEST_F(TextServiceTest, FetchesTheKeySetAgainForAnUnknownKeyId)
{
    const auto verifier = [](std::chrono::milliseconds interval) {
        return std::make_unique<JwksTokenVerifier>(world->http, world->issuer + ".well-known/jwks.json", world->issuer,
                                                   audience, systemClock(), interval);
    };
    const auto eager = verifier(0ms);
    ASSERT_TRUE(eager->fetchKeys());
    const int before = world->keySetFetches.load();
    const std::string rotated = world->token({}, &world->keyB);
    EXPECT_FALSE(eager->verify(rotated));
    world->publishB = true;
    EXPECT_EQ(eager->verify(rotated), "user-1");
    EXPECT_EQ(world->keySetFetches.load(), before + 2);
    world->publishB = false;

    const auto limited = verifier(1h);
    ASSERT_TRUE(limited->fetchKeys());
    const int afterStart = world->keySetFetches.load();
    for (const char* kid : {"made-up-1", "made-up-2", "made-up-3"}) {
        EXPECT_FALSE(limited->verify(world->keyB.token({{"alg", "RS256"}, {"kid", kid}}, world->claims())));
    }
    EXPECT_EQ(world->keySetFetches.load(), afterStart);
}

TEST_F(TextServiceTest, AnswersBadRequestsWithJsonErrors)
{
    const auto answers = [](const char* method, const char* path, const std::string& body, int status) {
        SCOPED_TRACE(std::string(method) + " " + path + " " + body.substr(0, 60));
        const auto response = call(method, path, body);
        EXPECT_EQ(response.status, status);
        const auto error = json::parse(response.body, nullptr, false);
        EXPECT_TRUE(error.contains("error") && error.contains("message")) << response.body.substr(0, 200);
    };
    answers("POST", "/v1/translate", "{not json", 400);
    answers("POST", "/v1/translate", "[1,2]", 400);
    answers("POST", "/v1/translate", R"({"target":"es"})", 400);
    answers("POST", "/v1/translate", R"({"q":7,"target":"es"})", 400);
    answers("POST", "/v1/translate", R"({"q":"Hello.","target":"fr"})", 400);
    answers("POST", "/v1/translate", R"({"q":"Hello.","target":"es","source":"de"})", 400);
    answers("POST", "/v1/translate", R"({"q":"Hello.","target":"es","gender":"neuter"})", 400);
    answers("POST", "/v1/translate", R"({"q":"12345","target":"es"})", 400);
    answers("POST", "/v1/improve", R"({"text":"Hello."})", 400);
    answers("PATCH", "/v1/user/metadata", R"({"gender":"Feminine"})", 400);
    answers("POST", "/v1/improve", R"({"q":")" + std::string(std::size_t{1024} * 1024, 'a') + R"("})", 413);
    answers("GET", "/v1/translate", "", 405);
    answers("PATCH", "/v1/improve", R"({"q":"Hello."})", 405);
    answers("POST", "/v1/user/metadata", R"({"gender":"feminine"})", 405);
    answers("GET", "/v2/anything", "", 404);
}

TEST_F(TextServiceTest, BodiesAndHeadsPastTheLimitsAreNotRead)
{
    NormalClient normal("es", "en");
    const long peakBefore = world->memoryKb("VmHWM");
    const std::string chunk = "100000\r\n" + std::string(0x100000, 'a') + "\r\n"; // 1 MiB
    for (const bool withToken : {false, true}) {
        SCOPED_TRACE(withToken ? "with a token" : "without a token");
        RawClient raw;
        ASSERT_TRUE(raw.send("POST /v1/improve HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n" +
                             (withToken ? "Authorization: Bearer " + world->token() + "\r\n" : std::string()) +
                             "\r\n"));
        int sent = withToken ? 2 : 0; // without a token the answer comes before a byte of the body
        for (int i = 0; i < sent; ++i) {
            raw.send(chunk);
        }
        EXPECT_EQ(raw.status(), withToken ? 413 : 401);
        while (sent < 64 && raw.send(chunk)) {
            ++sent;
        }
        EXPECT_LT(sent, 16);
    }
    for (const bool oneLine : {false, true}) {
        SCOPED_TRACE(oneLine ? "one long header line" : "many header lines");
        RawClient raw;
        raw.send("GET /health HTTP/1.1\r\n");
        int sent = 0;
        const std::string line = oneLine ? std::string(1000, 'a') : "X-Filler: " + std::string(990, 'a') + "\r\n";
        while (sent < 20'000 && raw.send(line)) {
            ++sent;
        }
        EXPECT_LT(sent, 10'000);
        EXPECT_TRUE(raw.closedWithin(3s));
    }
    EXPECT_LT(world->memoryKb("VmHWM") - peakBefore, 32 * 1024);
}

TEST_F(TextServiceTest, SlowAndIdleClientsDoNotHoldTheService)
{
    NormalClient normal;
    std::vector<std::unique_ptr<RawClient>> idle(300); // more than the service has places for
    std::ranges::generate(idle, [] { return std::make_unique<RawClient>(false); });
    {
        const auto start = SteadyClock::now();
        RawClient fresh;
        EXPECT_TRUE(fresh.send("GET /health HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_EQ(fresh.status(), 200);
        EXPECT_LT(SteadyClock::now() - start, 1s);
    }
    // Each sends a header line every half second, so no single read waits long.
    std::vector<std::future<SteadyClock::duration>> slow(16);
    std::ranges::generate(slow, [] {
        return std::async(std::launch::async, [] {
            const auto start = SteadyClock::now();
            RawClient raw;
            raw.send("POST /v1/improve HTTP/1.1\r\n");
            for (int line = 0; line < 40 && raw.send("X-Slow: 1\r\n"); ++line) {
                std::this_thread::sleep_for(500ms);
            }
            return SteadyClock::now() - start;
        });
    });
    for (auto& client : slow) {
        EXPECT_LT(client.get(), 13s); // the head's deadline, however it trickles
    }
    int closed = 0;
    for (auto& client : idle) {
        closed += client->closedWithin(1s);
    }
    EXPECT_EQ(closed, 300);
}

// Three clients with the longest text at once, beside a normal one: each gets its own answer.
TEST_F(TextServiceTest, LongTextsAreCappedAndShareTheEngines)
{
    const long before = world->memoryKb("VmRSS");
    NormalClient normal;
    const auto start = SteadyClock::now();
    const auto tooLong = world->translate(world->http, std::string(900'000, 'a'), "en", "es");
    EXPECT_EQ(tooLong ? tooLong->status : 0, 413);
    EXPECT_LT(SteadyClock::now() - start, 2s);

    std::string longest;
    std::string expected;
    while (longest.size() < 100'000 - 20) {
        longest += "The house is big. ";
        expected += "A casa é grande. ";
    }
    std::vector<std::future<json>> clients(3);
    std::ranges::generate(clients, [&longest] {
        return std::async(std::launch::async, [&longest] {
            CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = world->identity.caFile()});
            const auto answer = world->translate(http, longest, "en", "pt", 120s);
            return answer ? json::parse(answer->body, nullptr, false) : json();
        });
    });
    for (auto& client : clients) {
        EXPECT_TRUE(client.get()["data"]["translations"][0]["translatedText"] == expected); // no 100 kB dumps
    }
    normal.stop();
    EXPECT_LT(world->memoryKb("VmRSS") - before, 24 * 1024);
}

TEST_F(TextServiceTest, AStoppedEngineIsEndedAndStartedAnew)
{
    // The first program of the English to Spanish pipeline.
    test::ChildProcess search({"pgrep", "-P", std::to_string(getpid()), "-f", "eng-spa.automorf.bin"});
    const pid_t stopped = std::stoi(search.readLine(5s).value_or("0"));
    ASSERT_GT(stopped, 0);
    NormalClient normal("es", "pt");
    ::kill(stopped, SIGSTOP);
    const auto start = SteadyClock::now();
    const auto answer = world->translate(world->http, "The house is big.", "en", "es", 20s);
    EXPECT_EQ(answer ? answer->status : 0, 503);
    EXPECT_LT(SteadyClock::now() - start, 5s); // the engine's 2 s and a short grace
    EXPECT_NE(::kill(stopped, 0), 0) << "the stopped program is still there";
    const auto next = world->translate(world->http, "The house is big.", "en", "es", 20s);
    EXPECT_EQ(next ? next->status : 0, 200);
    if (::kill(stopped, 0) == 0) {
        ::kill(stopped, SIGKILL);
    }
}

TEST_F(TextServiceTest, TranslatesBetweenTheThreeLanguagesAsApertiumDoes)
{
    const std::string english = "The house is big and the garden is beautiful.";
    const std::tuple<std::string, Lang, Lang, std::string> cases[] = {
        {"La casa es grande y el jardín es bonito.", Lang::es, Lang::en, english},
        {"A casa é grande e o jardim é bonito.", Lang::pt, Lang::en, english},
        {"  nada muda\n", Lang::pt, Lang::pt, "  nada muda\n"},
        {" \n\n", Lang::en, Lang::es, " \n\n"}, // nothing for the engine
        // Breaks, indentation and trailing blanks stay where they were.
        {"I like the red car.\n\n  We live in a small house.\t\nThank you!\n", Lang::en, Lang::es,
         "Me gusta el coche rojo.\n\n  Vivimos en una casa pequeña.\t\nGracias!\n"},
        {std::string("The house\0 is big.", 18), Lang::en, Lang::es, "La casa es grande."},
    };
    for (const auto& [text, source, target, expected] : cases) {
        EXPECT_EQ(translate(text, source, target), expected);
    }
    // Apertium's reserved characters do not break the stream.
    const std::string out = translate("Pay 5$ to a@b for [draft] <one> {two} a/b \\ c^d.", Lang::en, Lang::es);
    for (const char c : std::string_view("$@[]<>{}/\\^")) {
        EXPECT_NE(out.find(c), std::string::npos) << c << " in " << out;
    }
    // Detected when the request has no source (English: AnswersTheClientsTranslateImproveAndMetadataCalls).
    EXPECT_EQ(detectLanguage("La casa es grande y el jardín es bonito, pero la cocina es pequeña."), Lang::es);
    EXPECT_EQ(detectLanguage("A casa é grande e o jardim é bonito, mas a cozinha é pequena."), Lang::pt);
    EXPECT_EQ(parseLanguage("pt_BR"), Lang::pt);

    // Long texts without spaces are cut between characters (between sentences:
    // LongTextsAreCappedAndShareTheEngines).
    std::string unbroken = "a"; // no space to cut at, and characters of two bytes at odd offsets
    while (unbroken.size() < 5000) {
        unbroken += "ñ";
    }
    unbroken += "a";
    std::string joined;
    for (const std::string_view piece : splitText(unbroken, 2048)) {
        EXPECT_LE(piece.size(), 2048u);
        EXPECT_NE(static_cast<unsigned char>(piece.front()) & 0xC0, 0x80) << "cut inside a character";
        joined += piece;
    }
    EXPECT_EQ(joined, unbroken);
}

// No request fails for engines that died before it came, whether the death is already seen (the
// programs have exited) or met in flight (killed just now); health tells a direction that cannot run.
TEST_F(TextServiceTest, NoRequestFailsForAnEngineThatDiedBeforeIt)
{
    const auto exited = [](int pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        return line.empty() || line.substr(line.rfind(')') + 2, 1) == "Z";
    };
    for (const bool waitForExit : {false, true}) {
        SCOPED_TRACE(waitForExit ? "exited" : "killed just now");
        const auto pids = world->translator.processIds();
        ASSERT_FALSE(pids.empty());
        for (const int pid : pids) {
            kill(pid, SIGKILL);
        }
        if (waitForExit) {
            for (const int pid : pids) {
                const auto deadline = SteadyClock::now() + 5s;
                while (!exited(pid) && SteadyClock::now() < deadline) {
                    std::this_thread::sleep_for(1ms);
                }
                ASSERT_TRUE(exited(pid));
            }
        }
        EXPECT_EQ(translate("The house is big.", Lang::en, Lang::pt), "A casa é grande.");
        EXPECT_EQ(translate("The house is big.", Lang::en, Lang::es), "La casa es grande.");
    }
    EXPECT_EQ(call("GET", "/health", "", std::nullopt).body, R"({"grammar":"ok","status":"ok"})");

    TextTranslator missing(world->folder / "no-modes", 2s);
    GrammarChecker noWorker(world->folder / "no-worker.mjs");
    const Improver improver("/usr/share/hunspell", &noWorker);
    EXPECT_EQ(improver.improve("i dont want a apple", Lang::en), "I don't want a apple"); // by the rules alone
    TextService service(missing, improver, world->verifier, world->genders,
                        {.certificateFile = world->folder / "cert.pem", .keyFile = world->folder / "key.pem"});
    ASSERT_TRUE(service.bind(0));
    std::jthread serving([&service] { service.serve(); });
    const auto health = world->http.send(
        {.method = "GET", .url = "https://127.0.0.1:" + std::to_string(service.port()) + "/health", .timeout = 10s});
    service.stop();
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 503);
    const auto body = json::parse(health->body, nullptr, false);
    EXPECT_EQ(body["failing"], (json{"eng-spa", "spa-eng_US", "es-pt_BR", "pt-es"}));
    EXPECT_EQ(body["grammar"], "unavailable");
}

TEST_F(TextServiceTest, ImprovesWhatItIsSureOfAndNothingElse)
{
    // Each kind of correction, with the grammar worker and by the rules alone (nullptr: the same).
    const std::tuple<std::string_view, std::optional<Lang>, std::string_view, const char*> fixed[] = {
        {"i recieve the leter tomorow at the libary .", Lang::en, "I receive the letter tomorrow at the library.",
         nullptr},
        {"It works.  i'm sure ; we agree !", Lang::en, "It works. I'm sure; we agree!", nullptr},
        {"I dont want alot of work.", Lang::en, "I don't want a lot of work.", "I don't want alot of work."},
        {"They didnt see a elephant.", Lang::en, "They didn't see an elephant.", "They didn't see a elephant."},
        {"It was an useful meeting.", Lang::en, "It was a useful meeting.", "It was an useful meeting."},
        {"We ate bread and and cheese.", Lang::en, "We ate bread and cheese.", "We ate bread and and cheese."},
        {"Their going to the park. You could of told me.", Lang::en,
         "They're going to the park. You could have told me.", "Their going to the park. You could of told me."},
        {"Its raining again, and the dog wagged it's tail.", Lang::en,
         "It's raining again, and the dog wagged its tail.", "Its raining again, and the dog wagged it's tail."},
        {"She is taller then her brother.", Lang::en, "She is taller than her brother.",
         "She is taller then her brother."},
        {"We had a wierd dream, definately.", Lang::en, "We had a weird dream, definitely.", nullptr},
        {"It happend in the resturant.", Lang::en, "It happened in the restaurant.", "It happend in the restaurant."},
        {"la cancion es muy bonita.  el niño canta .", Lang::es, "La canción es muy bonita. El niño canta.", nullptr},
        {"eu nao sei se voce vem.", Lang::pt, "Eu não sei se você vem.", nullptr},
        {"one  two . three", std::nullopt, "one two. Three", nullptr},
        {"  first line\n\nsecond  line", Lang::en, "  first line\n\nsecond line", nullptr},
    };
    for (const auto& [text, lang, grammar, rules] : fixed) {
        EXPECT_EQ(world->improver.improve(text, lang), grammar);
        EXPECT_EQ(world->rulesOnly.improve(text, lang), rules != nullptr ? rules : grammar);
    }
    // Right text, names, tools, loan words, code, addresses, numbers and fragments stay as they are;
    // the last two only where Harper's dictionary knows the tools.
    const std::string_view kept[] = {"Zorblax met NASA at https://example.com/teh on 3.5.2024, e.g. in Lisbon",
                                     "We met Dr. smith at 5 p.m. today.",
                                     "the red car",
                                     "I use vim and tmux every day.",
                                     "Run git rebase -i HEAD~3 first.",
                                     "The café on Main Street.",
                                     "She read a naïve poem about Zürich.",
                                     "Björk played in Reykjavík.",
                                     "He had had enough of it.",
                                     "I think that that is fine.",
                                     "An honest answer took an hour.",
                                     "Ask Zainab or Oluwaseun.",
                                     "Install it with sudo apt install ripgrep.",
                                     "The systemd unit runs nginx."};
    for (std::size_t i = 0; i < std::size(kept); ++i) {
        EXPECT_EQ(world->improver.improve(kept[i], Lang::en), kept[i]);
        if (i + 2 < std::size(kept)) {
            EXPECT_EQ(world->rulesOnly.improve(kept[i], Lang::en), kept[i]);
        }
    }
}

// A worker killed with requests on it: each is answered, by the grammar (sent again to a fresh
// worker) or by the rules alone, and the next one has the grammar again.
TEST_F(TextServiceTest, AGrammarWorkerKilledMidRequestLosesNoRequest)
{
    std::string text;
    std::string withGrammar;
    for (int i = 0; i < 60; ++i) {
        text += "i dont want a apple. ";
        withGrammar += "I don't want an apple. ";
    }
    const std::string byRules = world->rulesOnly.improve(text, Lang::en);
    ASSERT_NE(byRules, withGrammar);
    for (int round = 0; round < 3; ++round) {
        const auto pids = world->grammar.processIds();
        ASSERT_EQ(pids.size(), 1u);
        auto answer = std::async(std::launch::async, [&text] { return world->improver.improve(text, Lang::en); });
        ::kill(pids.front(), SIGKILL);
        const std::string improved = answer.get();
        EXPECT_TRUE(improved == withGrammar || improved == byRules) << improved.substr(0, 80);
    }
    EXPECT_EQ(world->improver.improve(text, Lang::en, 30s), withGrammar);
}

} // namespace
} // namespace parlomatic::textservice
