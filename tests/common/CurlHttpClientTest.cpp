#include "common/CurlHttpClient.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;
using test::TlsTestServer;

CurlHttpClient trustingClient(const TlsTestServer& server, std::size_t maxBody = 8 * 1024 * 1024)
{
    return CurlHttpClient(CurlHttpClient::Options{.extraCaFile = server.caFile(), .maxBodyBytes = maxBody});
}

class CurlHttpClientTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto echo = [](const httplib::Request& request, httplib::Response& response) {
            response.set_header("X-Method", request.method);
            response.set_header("X-Seen-Token", request.get_header_value("X-Token"));
            response.set_content(request.body, "text/plain");
        };
        server.server().Get("/echo", echo);
        server.server().Post("/echo", echo);
        server.server().Patch("/echo", echo);
        server.server().Put("/echo", echo);
        server.server().Delete("/echo", echo);
        server.server().Get("/status/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            response.status = std::stoi(request.matches[1]);
            if (response.status != 204) {
                response.set_content("status body", "text/plain");
            }
        });
        server.server().Get(
            "/redirect", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/echo"); });
        server.server().Get("/silent", [this](const httplib::Request&, httplib::Response& response) {
            server.waitForStop();
            response.set_content("late", "text/plain");
        });
        server.server().Get("/sized/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(std::string(std::stoul(request.matches[1]), 'x'), "text/plain");
        });
        server.server().Get("/chunked/(\\d+)", [](const httplib::Request& request, httplib::Response& response) {
            const std::size_t total = std::stoul(request.matches[1]);
            response.set_chunked_content_provider("text/plain", [total](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= total) {
                    sink.done();
                    return true;
                }
                const std::string chunk(std::min<std::size_t>(4096, total - offset), 'y');
                return sink.write(chunk.data(), chunk.size());
            });
        });
        ASSERT_TRUE(server.start());
    }

    HttpRequest request(std::string method, const std::string& path) const
    {
        HttpRequest result;
        result.method = std::move(method);
        result.url = server.baseUrl() + path;
        return result;
    }

    TlsTestServer server;
};

class MethodTest : public CurlHttpClientTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(MethodTest, SendsMethodHeadersAndBodyAndReturnsTheAnswer)
{
    auto client = trustingClient(server);
    HttpRequest sent = request(GetParam(), "/echo");
    sent.headers = {{"X-Token", "abc"}};
    if (GetParam() != "GET") {
        sent.body = std::string(5000, 'b') + "{\"k\":\"v\"}"; // over 1 KiB: no "Expect: 100-continue" stall
    }

    const HttpResult result = client.send(sent);

    ASSERT_TRUE(result.has_value()) << result.error().message;
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->header("x-method"), GetParam());
    EXPECT_EQ(result->header("X-SEEN-TOKEN"), "abc");
    EXPECT_EQ(result->body, sent.body);
}

INSTANTIATE_TEST_SUITE_P(Methods, MethodTest, ::testing::Values("GET", "POST", "PATCH", "PUT", "DELETE"));

TEST_F(CurlHttpClientTest, ReturnsEveryStatusAsAResponseAndDoesNotFollowRedirects)
{
    auto client = trustingClient(server);
    for (const int status : {201, 204, 401, 500}) {
        const HttpResult result = client.send(request("GET", "/status/" + std::to_string(status)));
        ASSERT_TRUE(result.has_value()) << status << result.error().message;
        EXPECT_EQ(result->status, status);
    }
    const HttpResult redirected = client.send(request("GET", "/redirect"));
    ASSERT_TRUE(redirected.has_value());
    EXPECT_EQ(redirected->status, 302);
    EXPECT_EQ(redirected->header("Location"), "/echo");
    EXPECT_EQ(redirected->header("X-Method"), std::nullopt);
}

TEST_F(CurlHttpClientTest, SequentialCallsShareOneConnectionAndOneHandshake)
{
    auto client = trustingClient(server);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(client.send(request(i % 2 ? "GET" : "POST", "/echo")).has_value());
    }
    EXPECT_EQ(server.handshakes(), 1);
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(CurlHttpClientTest, ServesSeveralThreadsAtOnce)
{
    auto client = trustingClient(server);
    std::vector<std::future<int>> workers;
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
    EXPECT_LE(server.connections(), 4);
}

TEST_F(CurlHttpClientTest, RefusesACertificateFromAnUntrustedAuthority)
{
    TlsTestServer stranger;
    CurlHttpClient systemTrustOnly;
    auto trustsAnotherCa = trustingClient(stranger);

    for (CurlHttpClient* client : {&systemTrustOnly, &trustsAnotherCa}) {
        const HttpResult result = client->send(request("GET", "/echo"));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, HttpError::Kind::tls) << result.error().message;
    }
}

TEST_F(CurlHttpClientTest, TimesOutOnAServerThatNeverAnswers)
{
    auto client = trustingClient(server);
    HttpRequest sent = request("GET", "/silent");
    sent.timeout = 300ms;

    const HttpResult result = client.send(sent);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, HttpError::Kind::timeout);
    // The handle that timed out goes back to the pool; the next call must still work.
    EXPECT_TRUE(client.send(request("GET", "/echo")).has_value());
}

struct BodyCase {
    std::string path;
    bool tooLarge;
};

class BodyCapTest : public CurlHttpClientTest, public ::testing::WithParamInterface<BodyCase> {};

TEST_P(BodyCapTest, FailsWhenTheBodyExceedsTheCap)
{
    auto client = trustingClient(server, 64 * 1024);

    const HttpResult result = client.send(request("GET", GetParam().path));

    if (GetParam().tooLarge) {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().kind, HttpError::Kind::bodyTooLarge);
    } else {
        ASSERT_TRUE(result.has_value()) << result.error().message;
        EXPECT_EQ(result->body.size(), 64u * 1024);
    }
}

INSTANTIATE_TEST_SUITE_P(Bodies, BodyCapTest,
                         ::testing::Values(BodyCase{"/sized/65536", false}, BodyCase{"/chunked/65536", false},
                                           BodyCase{"/sized/65537", true}, BodyCase{"/chunked/65537", true},
                                           BodyCase{"/chunked/10000000", true}));

// A loopback TCP server that answers its one connection with `answer`, byte for byte.
class RawServer {
public:
    explicit RawServer(std::string answer) : m_answer(std::move(answer))
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
        m_thread = std::thread([this] {
            pollfd waiting{m_socket, POLLIN, 0};
            if (poll(&waiting, 1, 10'000) != 1) {
                return; // nobody came: end by ourselves
            }
            const int connection = accept(m_socket, nullptr, nullptr);
            std::array<char, 4096> request{};
            [[maybe_unused]] const auto received = recv(connection, request.data(), request.size(), 0);
            [[maybe_unused]] const auto sent = send(connection, m_answer.data(), m_answer.size(), MSG_NOSIGNAL);
            close(connection);
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
    std::string m_answer;
    int m_socket = -1;
    int m_port = 0;
    std::thread m_thread;
};

TEST(CurlHttpClientErrors, ReportsAnAnswerThatIsNotHttpAsNoHttpResponse)
{
    RawServer server("this is not HTTP\r\n\r\n");
    HttpRequest sent;
    sent.url = server.url();

    const HttpResult result = CurlHttpClient().send(sent);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, HttpError::Kind::other) << result.error().message;
}

TEST(CurlHttpClientHeaders, JoinsFoldedLinesAndKeepsOnlyTheFinalAnswersHeaders)
{
    RawServer server("HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
                     "HTTP/1.1 200 OK\r\nX-Folded:  one \r\n   two\r\n\tthree\r\nX-Empty:\r\nX-Colon: a:b\r\n"
                     "Content-Length: 2\r\nConnection: close\r\n\r\nok");
    HttpRequest sent;
    sent.url = server.url();

    const HttpResult result = CurlHttpClient().send(sent);

    ASSERT_TRUE(result.has_value()) << result.error().message;
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->body, "ok");
    EXPECT_EQ(result->header("X-Folded"), "one two three");
    EXPECT_EQ(result->header("X-Empty"), "");
    EXPECT_EQ(result->header("X-Colon"), "a:b");
    EXPECT_EQ(result->header("X-Interim"), std::nullopt);
}

TEST(CurlHttpClientErrors, ReportsAClosedPortAsAConnectionError)
{
    TlsTestServer closed;
    closed.stop();
    HttpRequest sent;
    sent.url = closed.baseUrl() + "/";

    const HttpResult result = CurlHttpClient().send(sent);

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, HttpError::Kind::connection);
}

class InvalidRequestTest : public ::testing::TestWithParam<HttpRequest> {};

TEST_P(InvalidRequestTest, IsRejectedBeforeAnythingIsSent)
{
    CurlHttpClient client;
    const HttpResult result = client.send(GetParam());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, HttpError::Kind::invalidRequest);
}

HttpRequest invalid(std::string method, std::string url, HttpHeaders headers = {}, std::string body = {},
                    std::chrono::milliseconds timeout = 1s)
{
    return HttpRequest{std::move(method), std::move(url), std::move(headers), std::move(body), timeout};
}

INSTANTIATE_TEST_SUITE_P(Requests, InvalidRequestTest,
                         ::testing::Values(invalid("GET", "file:///etc/passwd"), invalid("GET", "ftp://127.0.0.1/"),
                                           invalid("GET", "https:/127.0.0.1/"), invalid("GET", "not a url"),
                                           invalid("GET\r\nX: y", "https://127.0.0.1/"),
                                           invalid("POST", "https://127.0.0.1/", {{"X-A", "1\r\nInjected: yes"}}),
                                           invalid("POST", "https://127.0.0.1/", {{"X-A", std::string("1\0two", 5)}}),
                                           invalid("GET", std::string("https://127.0.0.1/\0.example", 27)),
                                           invalid("POST", "https://127.0.0.1/", {{"Bad Name", "1"}}),
                                           invalid("GET", "https://127.0.0.1/", {}, "a body"),
                                           invalid("GET", "https://127.0.0.1/", {}, {}, 0ms)));

TEST(HttpResponseTest, FindsTheFirstHeaderOfANameRegardlessOfCase)
{
    const HttpResponse response{200, {{"Content-Type", "a"}, {"content-type", "b"}}, {}};
    EXPECT_EQ(response.header("CONTENT-TYPE"), "a");
    EXPECT_EQ(response.header("Content-Length"), std::nullopt);
}

} // namespace
} // namespace parlomatic
