// The text service program under clients that send too much, too slowly or too long a text, and
// with an engine that stops; a normal client must keep getting answers within a second throughout.
#include "common/CurlHttpClient.h"
#include "support/ChildProcess.h"
#include "support/TestKeys.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace parlomatic::textservice {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr const char* audience = "https://api.parlomatic.localhost/";

struct World {
    std::filesystem::path folder = std::filesystem::temp_directory_path() / ("pm-abuse-" + std::to_string(getpid()));
    parlomatic::testing::TestRsaKey key{"key-a"};
    test::TlsTestServer identity;
    CurlHttpClient http{CurlHttpClient::Options{.extraCaFile = identity.caFile()}};
    std::unique_ptr<test::ChildProcess> service;
    int port = 0;

    World()
    {
        std::filesystem::create_directories(folder);
        identity.server().Get("/.well-known/jwks.json", [this](const httplib::Request&, httplib::Response& r) {
            r.set_content(json{{"keys", json::array({key.jwk()})}}.dump(), "application/json");
        });
        identity.start();
        identity.writeServerCredentials(folder / "cert.pem", folder / "key.pem");
        service = std::make_unique<test::ChildProcess>(std::vector<std::string>{
            PARLOMATIC_TEXT_SERVICE, "--cert", (folder / "cert.pem").string(), "--key", (folder / "key.pem").string(),
            "--issuer", identity.baseUrl() + "/", "--audience", audience, "--ca-file", identity.caFile().string(),
            "--genders", (folder / "genders.json").string(), "--port", "0", "--engine-seconds", "2", "--quiet"});
        if (const auto line = service->readLine(60s); line && line->starts_with("ready ")) {
            port = std::stoi(line->substr(6));
        }
    }
    ~World()
    {
        service.reset();
        std::filesystem::remove_all(folder);
    }

    std::string token() const
    {
        return key.token(
            {{"alg", "RS256"}, {"kid", key.kid()}},
            {{"iss", identity.baseUrl() + "/"}, {"aud", audience}, {"sub", "u"}, {"exp", time(nullptr) + 600}});
    }

    HttpResult translate(HttpClient& client, const std::string& text, const char* source, const char* target,
                         std::chrono::milliseconds limit = 5s) const
    {
        return client.send({.method = "POST",
                            .url = "https://127.0.0.1:" + std::to_string(port) + "/v1/translate",
                            .headers = {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + token()}},
                            .body = json{{"q", text}, {"source", source}, {"target", target}}.dump(),
                            .timeout = limit});
    }

    // A field of the service's /proc status in kB: VmRSS now, VmHWM its peak.
    long memoryKb(const std::string& field) const
    {
        std::ifstream status("/proc/" + std::to_string(service->pid()) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.starts_with(field + ":")) {
                return std::stol(line.substr(field.size() + 1));
            }
        }
        return -1;
    }
};

World* world = nullptr;

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
        address.sin_port = htons(static_cast<uint16_t>(world->port));
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

    bool ok() const { return m_ok; }
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

// Translates a short sentence about ten times a second on its own connection until stopped; then
// every call must have been answered right, none slower than a second.
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
            const auto answer = world->translate(http, "Hola.", source, target);
            m_worst = std::max(m_worst, SteadyClock::now() - start);
            ++m_calls;
            m_failures += !answer || answer->status != 200;
            pause.wait_for(lock, stop, 100ms, [] { return false; });
        }
    }

    int m_calls = 0; // read only once the thread has ended
    int m_failures = 0;
    SteadyClock::duration m_worst{};
    std::jthread m_thread;
};

class TextServiceAbuseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        world = new World;
        ASSERT_GT(world->port, 0);
    }
    static void TearDownTestSuite()
    {
        delete world;
        world = nullptr;
    }
};

TEST_F(TextServiceAbuseTest, BodiesAndHeadsPastTheLimitsAreNotRead)
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

TEST_F(TextServiceAbuseTest, SlowAndIdleClientsDoNotHoldTheService)
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

TEST_F(TextServiceAbuseTest, LongTextsAreCappedAndShareTheEngines)
{
    const long before = world->memoryKb("VmRSS");
    NormalClient normal;
    const auto start = SteadyClock::now();
    const auto tooLong = world->translate(world->http, std::string(900'000, 'a'), "en", "es");
    EXPECT_EQ(tooLong ? tooLong->status : 0, 413);
    EXPECT_LT(SteadyClock::now() - start, 2s);

    std::string longest;
    while (longest.size() < 100'000 - 20) {
        longest += "The house is big. ";
    }
    std::vector<std::future<long>> clients(3);
    std::ranges::generate(clients, [&longest] {
        return std::async(std::launch::async, [&longest] {
            CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = world->identity.caFile()});
            const auto answer = world->translate(http, longest, "en", "pt", 120s);
            return answer ? answer->status : 0;
        });
    });
    for (auto& client : clients) {
        EXPECT_EQ(client.get(), 200);
    }
    normal.stop();
    EXPECT_LT(world->memoryKb("VmRSS") - before, 24 * 1024);
}

TEST_F(TextServiceAbuseTest, AStoppedEngineIsEndedAndStartedAnew)
{
    // The first program of the English to Spanish pipeline.
    test::ChildProcess search({"pgrep", "-P", std::to_string(world->service->pid()), "-f", "eng-spa.automorf.bin"});
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

} // namespace
} // namespace parlomatic::textservice
