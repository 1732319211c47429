// The authentication client: how answers are classified and requests built, its configuration,
// and its calls against a loopback HTTPS server with a CA made for the test.
#include "common/CurlHttpClient.h"
#include "identity/IdentityAuthentication.h"
#include "identity/Request.h"
#include "support/LoopbackServiceFixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <unistd.h>

namespace parlomatic::identity {
namespace {

using nlohmann::json;

Response httpResponse(long status, std::optional<std::string> body, std::string url = "https://t/oauth/token")
{
    Response response;
    response.response = HttpResponse{.status = status, .headers = {}, .body = {}};
    response.data = std::move(body);
    response.url = std::move(url);
    return response;
}

Response transportError()
{
    Response response;
    response.error = HttpError{.kind = HttpError::Kind::connection, .message = "Could not connect"};
    return response;
}

// "ok <value>" or "<code> (<status>): <description>".
std::string outcome(const Response& response)
{
    const auto result = classify(response);
    if (result) {
        return "ok " + (*result ? (*result)->dump() : "none");
    }
    return result.error().code() + " (" + std::to_string(result.error().statusCode()) +
           "): " + result.error().description();
}

TEST(ClassificationTest, ClassifiesAndDerivesCodeAndDescription)
{
    const std::string plain = "identity.internal_error.plain";
    const auto empty = [](int status) {
        return "identity.internal_error.empty (" + std::to_string(status) + "): Empty response body.";
    };
    const std::tuple<const char*, Response, std::string> table[] = {
        {"transport", transportError(), plain + " (0): Unable to complete the operation."},
        {"noResponse", Response{}, empty(0)},
        {"status300IsSuccess", httpResponse(300, R"({"a":1})"), R"(ok {"a":1})"},
        {"status301Json", httpResponse(301, R"({"error":"moved"})"), "moved (301): Received error with code moved."},
        {"status199Json", httpResponse(199, R"({"code":"early"})"), "early (199): Received error with code early."},
        {"invalidGrant",
         httpResponse(401, R"({"error":"invalid_grant","error_description":"Unknown or invalid refresh token."})"),
         "invalid_grant (401): Unknown or invalid refresh token."},
        {"errorPlainText", httpResponse(500, "Internal Server Error"), plain + " (500): Internal Server Error"},
        {"errorJsonArray", httpResponse(400, "[1,2]"), plain + " (400): [1,2]"},
        {"errorNoBody", httpResponse(503, std::nullopt), empty(503)},
        {"errorEmptyBody", httpResponse(404, ""), empty(404)},
        {"status204Empty", httpResponse(204, ""), "ok none"},
        {"status200Empty", httpResponse(200, ""), empty(200)},
        {"successJsonArray", httpResponse(200, "[true]"), "ok [true]"},
        {"successJsonText", httpResponse(201, R"("ok")"), R"(ok "ok")"},
        {"successPlainText", httpResponse(200, "We've just sent you an email"),
         plain + " (200): We've just sent you an email"},
        {"changePasswordPlainText",
         httpResponse(200, "We've just sent you an email", "https://t/dbconnections/change_password"), "ok none"},
    };
    for (const auto& [name, response, expected] : table) {
        EXPECT_EQ(outcome(response), expected) << name;
    }
    EXPECT_NE(classify(transportError()).error().cause().value().find("Could not connect"), std::string::npos);

    // An error's code and description from its body.
    const std::tuple<json, std::string, std::string> errors[] = {
        {{{"error", "a"}, {"code", "b"}}, "a", "Received error with code a."},
        {{{"code", "b"}}, "b", "Received error with code b."},
        {{{"error", 5}, {"code", "b"}},
         "identity.internal_error.unknown",
         R"(Failed with unknown error {"code":"b","error":5}.)"},
        {json::object(), "identity.internal_error.unknown", "Failed with unknown error {}."},
        {{{"error", "x"}, {"description", "d"}, {"error_description", "e"}}, "x", "d"},
        {{{"error", "x"}, {"description", 7}, {"error_description", "e"}}, "x", "e"},
        {{{"error_description", 7}, {"code", "c"}}, "c", "Received error with code c."}};
    for (const auto& [info, code, description] : errors) {
        const AuthenticationError error(info, 400);
        EXPECT_EQ(error.code(), code) << info;
        EXPECT_EQ(error.description(), description) << info;
    }
}

// GET parameters become query items after the existing ones; POST parameters a JSON body, and the
// telemetry header replaces a given one. The scope always asks for "openid"; the base URL ends with
// one slash; the telemetry is unpadded Base64URL of the client's description.
TEST(BuildRequestTest, ParametersScopeBaseUrlAndTelemetry)
{
    const std::pair<std::string, std::string> scopes[] = {{"profile email", "openid profile email"},
                                                          {"openid profile", "openid profile"},
                                                          {"profile openid", "profile openid"},
                                                          {"openidx", "openid openidx"},
                                                          {"", "openid "}};
    for (const auto& [given, sent] : scopes) {
        json parameters{{"scope", given}};
        applyScopeRule(parameters);
        EXPECT_EQ(parameters["scope"], sent) << given;
    }
    // Without a scheme: ConfigurationTest.
    EXPECT_EQ(baseURL("https://tenant.example.com/"), "https://tenant.example.com/");
    EXPECT_EQ(baseURL("https://127.0.0.1:8443"), "https://127.0.0.1:8443/");
    // {"env":{"os":"linux","osVersion":"6.1"},"name":"parlomatic-identity","version":"1.2.3"}
    EXPECT_EQ(Telemetry::encodeInfo("1.2.3", "linux", "6.1"),
              "eyJlbnYiOnsib3MiOiJsaW51eCIsIm9zVmVyc2lvbiI6IjYuMSJ9LCJuYW1lIjoicGFybG9tYXRpYy1pZGVudGl0eSIsIn"
              "ZlcnNpb24iOiIxLjIuMyJ9");

    const auto request = buildHttpRequest("https://t/x?a=1", "get", {{"b", "two words"}, {"c", 3}}, {},
                                          Telemetry{.enabled = false, .info = {}});
    EXPECT_EQ(request.url, "https://t/x?a=1&b=two%20words&c=3");
    EXPECT_TRUE(request.body.empty());
    EXPECT_TRUE(request.headers.empty());

    const auto post =
        buildHttpRequest("https://t/x", "POST", {{"b", "v"}}, {{"X-Extra", "1"}, {"Identity-Client", "forged"}},
                         Telemetry{.enabled = true, .info = "abc"});
    EXPECT_EQ(json::parse(post.body), (json{{"b", "v"}}));
    EXPECT_EQ(post.headers,
              (HttpHeaders{{"Content-Type", "application/json"}, {"X-Extra", "1"}, {"Identity-Client", "abc"}}));
    EXPECT_EQ(post.url, "https://t/x");
}

TEST(ConfigurationTest, AnIncompleteFileIsToldAndStopsTheProcessACompleteOneBuildsTheClient)
{
    const auto bundle = std::filesystem::temp_directory_path() / ("pm-identity-conf-" + std::to_string(::getpid()));
    std::filesystem::create_directories(bundle);
    const auto write = [&](const std::string& text) { std::ofstream(bundle / "Identity.conf") << text; };
    EXPECT_EQ(
        loadIdentityConfiguration(bundle).error(),
        std::vector<std::string>{"Missing Identity.conf file with 'ClientId' and 'Domain' entries in main bundle!"});

    write("# deployment\nClientId = abc\nOther = 1\n");
    EXPECT_EQ(loadIdentityConfiguration(bundle).error(),
              (std::vector<std::string>{"Identity.conf file at " + (bundle / "Identity.conf").string() +
                                            " is missing 'ClientId' and/or 'Domain' entries!",
                                        "File currently has the following entries: { ClientId = abc; Other = 1 }"}));
    // The messages belong on standard output; the child sends it where the death test reads.
    const auto stop = [&] {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        makeAuthentication(nullptr, bundle);
    };
    EXPECT_EXIT(stop(), ::testing::ExitedWithCode(EXIT_FAILURE),
                "is missing 'ClientId' and/or 'Domain' entries!\nFile currently has the following entries: "
                "\\{ ClientId = abc; Other = 1 \\}");

    write("ClientId = abc\nDomain = tenant.example.com\n");
    const auto authentication = makeAuthentication(nullptr, bundle);
    EXPECT_EQ(authentication->clientId(), "abc");
    EXPECT_EQ(authentication->url(), "https://tenant.example.com/");
    std::filesystem::remove_all(bundle);
}

// The token exchange and the key set are guarded against the real provider (SignInTest).
class AuthenticationLoopbackTest : public test::LoopbackServiceFixture {
protected:
    std::shared_ptr<IdentityAuthentication> authentication = std::make_shared<IdentityAuthentication>(
        "client-1", baseURL(server.baseURL()), std::make_shared<CurlHttpClient>(trustingOptions()),
        Telemetry{.enabled = true, .info = "telemetry-info"});
};

TEST_F(AuthenticationLoopbackTest, RevokeSendsTelemetryAndTakesAnEmptySuccess)
{
    setReply(204, "");
    EXPECT_TRUE(authentication->revokeRefreshToken("rt").start());
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests().front().header("Identity-Client"), "telemetry-info");
    EXPECT_EQ(bodyOf(requests().front()), (nlohmann::json{{"token", "rt"}, {"client_id", "client-1"}}));

    // RFC 7009: a revocation's success is a 200 with an empty body.
    setReply(200, "");
    EXPECT_TRUE(authentication->revokeRefreshToken("rt").start());

    setReply(503, "");
    EXPECT_EQ(authentication->revokeRefreshToken("rt").start().error().code(), "identity.internal_error.empty");
}

} // namespace
} // namespace parlomatic::identity
