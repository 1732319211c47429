// The loopback listener of the browser sign-in, with a real HTTP client and no identity service.
#include "identity/SystemBrowserSession.h"
#include "common/UniqueResource.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>

namespace parlomatic::identity {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<SystemBrowserSession> preparedSession(std::chrono::milliseconds timeout)
{
    auto session = std::make_unique<SystemBrowserSession>(SystemBrowserSession::Options{
        .openURL = [](const std::string&) { return true; }, .showPrompt = {}, .timeout = timeout});
    EXPECT_TRUE(session->prepare("http://127.0.0.1:0/callback"));
    return session;
}

// A browser keeps idle connections open beside the one it asks on; the sign-in ends, and drops its
// session, from the handler on the listener's own thread; nothing answers after that.
TEST(SystemBrowserSessionTest, AnswersPastIdleConnectionsAndEndsFromItsOwnHandler)
{
    auto session = preparedSession(30s);
    const int port = session->port();
    std::promise<std::string> received;
    session->start("https://tenant.example/authorize", false,
                   {.onCallback =
                        [&](const std::string& url) {
                            session.reset();
                            received.set_value(url);
                            return true;
                        },
                    .onFailure = {}});
    const auto stray = httplib::Client("127.0.0.1", port).Get("/favicon.ico");
    ASSERT_TRUE(stray);
    EXPECT_EQ(stray->status, 404);
    const UniqueFd idle(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(idle.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    httplib::Client browser("127.0.0.1", port);
    browser.set_read_timeout(1s); // shorter than the wait for an idle connection's request
    const auto answer = browser.Get("/callback?code=c-1&state=s");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(received.get_future().get(), "http://127.0.0.1:" + std::to_string(port) + "/callback?code=c-1&state=s");
    EXPECT_FALSE(httplib::Client("127.0.0.1", port).Get("/callback?code=late"));
}

TEST(SystemBrowserSessionTest, TimesOutOnceAndClosingStopsAtOnce)
{
    auto session = preparedSession(50ms);
    std::promise<bool> failed;
    session->start("https://tenant.example/authorize", false,
                   {.onCallback = {},
                    .onFailure = [&](const WebSessionFailure& failure) { failed.set_value(failure.cancelled); }});
    EXPECT_TRUE(failed.get_future().get());
    const int port = session->port();
    const auto late = httplib::Client("127.0.0.1", port).Get("/callback?code=late");
    ASSERT_TRUE(late);
    EXPECT_EQ(late->status, 410);
    session->close();
    EXPECT_FALSE(httplib::Client("127.0.0.1", port).Get("/callback?code=later"));
}

} // namespace
} // namespace parlomatic::identity
