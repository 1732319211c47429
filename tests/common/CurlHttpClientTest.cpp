#include "common/CurlHttpClient.h"
#include "support/LoopbackServiceFixture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using test::TlsTestServer;

CurlHttpClient trustingClient(const TlsTestServer& server)
{
    return CurlHttpClient(CurlHttpClient::Options{.extraCaFile = server.caFile()});
}

// Echoes the method, the X-Token header and the body; "/silent" answers only once the server stops.
class CurlHttpClientTest : public test::LoopbackServiceFixture {
protected:
    void SetUp() override
    {
        LoopbackServiceFixture::SetUp();
        setReply([this](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/silent") {
                ++silentCalls;
                server.waitForStop();
            }
            response.set_header("X-Method", request.method);
            response.set_header("X-Seen-Token", request.get_header_value("X-Token"));
            response.set_content(request.body, "text/plain");
        });
    }

    HttpRequest request(std::string method, const std::string& path) const
    {
        return {.method = std::move(method), .url = server.baseURL() + path};
    }

    std::atomic<int> silentCalls{0};
};

int recordLowestOfferedVersion(SSL* ssl, int*, void* user)
{
    int lowest = SSL_client_hello_get0_legacy_version(ssl);
    const unsigned char* versions = nullptr;
    std::size_t length = 0;
    if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_supported_versions, &versions, &length) == 1) {
        for (std::size_t i = 1; i + 1 < length; i += 2) {
            lowest = std::min(lowest, versions[i] << 8 | versions[i + 1]);
        }
    }
    static_cast<std::atomic<int>*>(user)->store(lowest);
    return SSL_CLIENT_HELLO_SUCCESS;
}

// Also offers no TLS version older than 1.2.
TEST_F(CurlHttpClientTest, SendsMethodHeadersAndBodyAndReturnsTheAnswer)
{
    std::atomic<int> lowest{0};
    SSL_CTX_set_client_hello_cb(static_cast<httplib::SSLServer&>(server.server()).ssl_context(),
                                &recordLowestOfferedVersion, &lowest);
    auto client = trustingClient(server);
    for (const std::string method : {"GET", "POST", "PATCH", "PUT", "DELETE"}) {
        SCOPED_TRACE(method);
        HttpRequest sent = request(method, "/echo");
        sent.headers = {{"X-Token", "abc"}};
        if (method != "GET") {
            sent.body = std::string(5000, 'b') + R"({"k":"v"})"; // over 1 KiB: no "Expect: 100-continue" stall
        }
        const HttpResult result = client.send(sent);
        ASSERT_TRUE(result.has_value()) << result.error().message;
        EXPECT_EQ(result->status, 200);
        EXPECT_EQ(result->header("x-method"), method);
        EXPECT_EQ(result->header("X-SEEN-TOKEN"), "abc");
        EXPECT_EQ(result->body, sent.body);
    }
    EXPECT_EQ(lowest.load(), TLS1_2_VERSION);
}

// Sequential calls share one connection and one handshake; threads at once take a few more.
TEST_F(CurlHttpClientTest, ReusesConnectionsAndServesSeveralThreadsAtOnce)
{
    auto client = trustingClient(server);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(client.send(request(i % 2 ? "GET" : "POST", "/echo")).has_value());
    }
    EXPECT_EQ(server.handshakes(), 1);
    std::vector<std::future<int>> workers;
    workers.reserve(4);
    for (int t = 0; t < 4; ++t) {
        workers.push_back(std::async(std::launch::async, [&, t] {
            int good = 0;
            for (int i = 0; i < 10; ++i) {
                HttpRequest sent = request("POST", "/echo");
                sent.body = std::to_string(t) + "/" + std::to_string(i);
                const HttpResult result = client.send(sent);
                good += result.has_value() && result->body == sent.body;
            }
            return good;
        }));
    }
    for (auto& worker : workers) {
        EXPECT_EQ(worker.get(), 10);
    }
    EXPECT_LE(server.handshakes(), 4);
}

TEST_F(CurlHttpClientTest, RefusesAnUntrustedCertificateAndReportsAClosedPort)
{
    TlsTestServer stranger;
    CurlHttpClient systemTrustOnly;
    auto trustsAnotherCa = trustingClient(stranger);

    for (CurlHttpClient* client : {&systemTrustOnly, &trustsAnotherCa}) {
        const HttpResult result = client->send(request("GET", "/echo"));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, HttpError::Kind::tls) << result.error().message;
    }

    TlsTestServer closed;
    closed.stop();
    const HttpResult refused = systemTrustOnly.send(HttpRequest{.url = closed.baseURL() + "/"});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, HttpError::Kind::connection);
}

// A silent server: a short time-out ends the call (the handle still serves the next one); quitting
// ends a long one within about a second, and refuses later calls at once.
TEST_F(CurlHttpClientTest, TimesOutOrAbortsOnAServerThatNeverAnswers)
{
    auto client = trustingClient(server);
    HttpRequest sent = request("GET", "/silent");
    sent.timeout = 300ms;
    const HttpResult timedOut = client.send(sent);
    ASSERT_FALSE(timedOut.has_value());
    EXPECT_EQ(timedOut.error().kind, HttpError::Kind::timeout);
    EXPECT_TRUE(client.send(request("GET", "/echo")).has_value());

    sent.timeout = 30s;
    auto waiting = std::async(std::launch::async, [&client, &sent] { return client.send(sent); });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (silentCalls < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    const auto abortedAt = std::chrono::steady_clock::now();
    client.abortAll();
    EXPECT_FALSE(waiting.get().has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - abortedAt, 3s);
    const HttpResult later = client.send(request("GET", "/echo"));
    ASSERT_FALSE(later.has_value());
    EXPECT_EQ(later.error().kind, HttpError::Kind::other);
}

// The path of the next GET on `connection` (no body is read); nothing once the peer closes or 10 s pass.
std::optional<std::string> readRequestPath(int connection)
{
    std::string received;
    while (received.find("\r\n\r\n") == std::string::npos) {
        pollfd waiting{.fd = connection, .events = POLLIN, .revents = 0};
        std::array<char, 4096> buffer{};
        const auto length = poll(&waiting, 1, 10'000) == 1 ? recv(connection, buffer.data(), buffer.size(), 0) : 0;
        if (length <= 0) {
            return std::nullopt;
        }
        received.append(buffer.data(), static_cast<std::size_t>(length));
    }
    const auto path = received.find(' ') + 1;
    return received.substr(path, received.find(' ', path) - path);
}

void sendText(int connection, const std::string& text)
{
    [[maybe_unused]] const auto sent = send(connection, text.data(), text.size(), MSG_NOSIGNAL);
}

std::string okAnswer(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A loopback TCP server that hands its first `connections` connections, one after another and
// with their index, to `serve`, which then closes them. It stops by itself when nobody comes.
class RawServer {
public:
    using Serve = std::function<void(int connection, int index)>;

    explicit RawServer(std::string answer)
        : RawServer([answer = std::move(answer)](int connection, int) {
              readRequestPath(connection);
              sendText(connection, answer);
          })
    {}
    explicit RawServer(Serve serve, int connections = 1)
    {
        m_socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (m_socket < 0 || bind(m_socket, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_socket, 1) != 0 || getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, serve = std::move(serve), connections] {
            for (int index = 0; index < connections; ++index) {
                pollfd waiting{.fd = m_socket, .events = POLLIN, .revents = 0};
                if (poll(&waiting, 1, 10'000) != 1) {
                    return; // nobody came: end by ourselves
                }
                const int connection = accept(m_socket, nullptr, nullptr);
                if (connection < 0) {
                    return;
                }
                serve(connection, index);
                close(connection);
            }
        });
    }
    ~RawServer()
    {
        if (m_socket >= 0) {
            shutdown(m_socket, SHUT_RDWR); // wakes the poll when no client came
        }
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_socket >= 0) {
            close(m_socket);
        }
    }
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

private:
    int m_socket = -1;
    int m_port = 0;
    std::thread m_thread;
};

TEST(CurlHttpClientPool, NeverTakesBytesThatCameWhileTheConnectionWasIdleForTheNextAnswer)
{
    std::promise<void> idle;
    std::promise<void> lateAnswerSent;
    RawServer server(
        [&](int connection, int index) {
            bool late = index == 0;
            while (const auto path = readRequestPath(connection)) {
                sendText(connection, okAnswer(*path));
                if (std::exchange(late, false)) {
                    idle.get_future().wait_for(10s);
                    sendText(connection, okAnswer("late duplicate"));
                    lateAnswerSent.set_value();
                }
            }
        },
        2);
    CurlHttpClient client;

    EXPECT_EQ(client.send(HttpRequest{.url = server.url() + "first"})->body, "/first");
    idle.set_value();
    ASSERT_EQ(lateAnswerSent.get_future().wait_for(10s), std::future_status::ready);
    const HttpResult second = client.send(HttpRequest{.url = server.url() + "second"});

    ASSERT_TRUE(second.has_value()) << second.error().message;
    EXPECT_EQ(second->body, "/second");
}

// Every status is an answer and redirects are not followed; answers whose end is unknown, or whose
// body passes the cap, are refused. Interim answers' headers are dropped, folded lines joined.
TEST(CurlHttpClientAnswers, TakesEveryStatusButOnlyAnswersWhoseEndIsKnown)
{
    const std::string ok = "HTTP/1.1 200 OK\r\nX-Folded:  one \r\n   two\r\n\tthree\r\nX-Empty:\r\nX-Colon: a:b\r\n";
    const std::string cap(std::size_t{64} * 1024, 'x');
    const auto refused = HttpError::Kind::other;
    // The name, the answer, and its status or why it is refused; the case named HEAD answers a HEAD request.
    const std::tuple<std::string, std::string, std::variant<int, HttpError::Kind>> cases[] = {
        {"NotHttp", "this is not HTTP\r\n\r\n", refused},
        {"TwoLengths", ok + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nokk", refused},
        {"DifferingLengthList", ok + "Content-Length: 3, 2\r\n\r\nokk", refused},
        {"EqualLengths", ok + "Content-Length: 2, 2\r\nContent-Length: 2\r\n\r\nok", 200},
        {"UntilClose", ok + "Connection: close\r\n\r\ncut", refused},
        {"Http10UntilClose", "HTTP/1.0 200 OK\r\n\r\ncut", refused},
        {"Chunked", ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", 200},
        {"NoContent", "HTTP/1.1 204 No Content\r\n\r\n", 204},
        {"HEAD", ok + "\r\n", 200},
        {"HugeHeaders", ok + "X-Filler: " + std::string(70'000, 'x') + "\r\nContent-Length: 2\r\n\r\nok", refused},
        {"Interim", "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nok", 200},
        {"Created", "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok", 201},
        {"Unauthorized", "HTTP/1.1 401 Unauthorized\r\nContent-Length: 2\r\n\r\nok", 401},
        {"ServerError", "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2\r\n\r\nok", 500},
        {"RedirectNotFollowed", "HTTP/1.1 302 Found\r\nLocation: /echo\r\nContent-Length: 0\r\n\r\n", 302},
        {"AtTheCap", ok + "Content-Length: 65536\r\n\r\n" + cap, 200},
        {"ChunkedAtTheCap", ok + "Transfer-Encoding: chunked\r\n\r\n10000\r\n" + cap + "\r\n0\r\n\r\n", 200},
        {"OverTheCap", ok + "Content-Length: 65537\r\n\r\nx" + cap, HttpError::Kind::bodyTooLarge},
        {"ChunkedOverTheCap", ok + "Transfer-Encoding: chunked\r\n\r\n10000\r\n" + cap + "\r\n1\r\nx\r\n0\r\n\r\n",
         HttpError::Kind::bodyTooLarge},
    };
    for (const auto& [name, answer, expected] : cases) {
        SCOPED_TRACE(name);
        RawServer server(answer);
        const HttpResult result =
            CurlHttpClient(CurlHttpClient::Options{.extraCaFile = {}, .maxBodyBytes = cap.size()})
                .send(HttpRequest{.method = name == "HEAD" ? "HEAD" : "GET", .url = server.url()});
        if (const auto* kind = std::get_if<HttpError::Kind>(&expected)) {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error().kind, *kind) << result.error().message;
            continue;
        }
        ASSERT_TRUE(result.has_value()) << result.error().message;
        EXPECT_EQ(result->status, std::get<int>(expected));
        const bool shortBody = answer.ends_with("ok") || name == "Chunked";
        EXPECT_EQ(result->body, name.ends_with("AtTheCap") ? cap : shortBody ? "ok" : "");
        EXPECT_EQ(result->header("X-Interim"), std::nullopt);
        if (answer.find(ok) != std::string::npos) {
            EXPECT_EQ(result->header("X-Folded"), "one two three");
            EXPECT_EQ(result->header("X-Empty"), "");
            EXPECT_EQ(result->header("X-Colon"), "a:b");
        }
    }
}

TEST(CurlHttpClientRequests, InvalidOnesAreRejectedBeforeAnythingIsSent)
{
    const HttpRequest requests[] = {
        HttpRequest{.url = "file:///etc/passwd"},
        HttpRequest{.url = "ftp://127.0.0.1/"},
        HttpRequest{.url = "https:/127.0.0.1/"},
        HttpRequest{.url = "not a url"},
        HttpRequest{.method = "GET\r\nX: y", .url = "https://127.0.0.1/"},
        HttpRequest{.method = "POST", .url = "https://127.0.0.1/", .headers = {{"X-A", "1\r\nInjected: yes"}}},
        HttpRequest{.method = "POST", .url = "https://127.0.0.1/", .headers = {{"X-A", std::string("1\0two", 5)}}},
        HttpRequest{.url = std::string("https://127.0.0.1/\0.example", 27)},
        HttpRequest{.method = "POST", .url = "https://127.0.0.1/", .headers = {{"Bad Name", "1"}}},
        HttpRequest{.url = "https://127.0.0.1/", .body = "a body"},
        HttpRequest{.url = "https://127.0.0.1/", .timeout = 0ms}};
    CurlHttpClient client;
    for (const HttpRequest& request : requests) {
        const HttpResult result = client.send(request);
        ASSERT_FALSE(result.has_value()) << request.method << " " << request.url;
        EXPECT_EQ(result.error().kind, HttpError::Kind::invalidRequest) << request.method << " " << request.url;
    }
}

} // namespace
} // namespace parlomatic
