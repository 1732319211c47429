// The development identity service as scripts/run starts it (persisted keys and accounts, JWT
// access tokens for the text service's audience, "pm_gender" from the text service's store),
// signed in to through its login page by a scripted browser, with the text service checking its
// access tokens.
#include "GenderStore.h"
#include "JwksTokenVerifier.h"
#include "TextService.h"
#include "common/CurlHttpClient.h"
#include "identity/PKCE.h"
#include "identity/jwt/JWT.h"
#include "support/ChildProcess.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <thread>

namespace parlomatic::textservice {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using test::ChildProcess;

const std::string sourceDir = std::getenv("PARLOMATIC_SOURCE_DIR") ? std::getenv("PARLOMATIC_SOURCE_DIR") : ".";
const std::string audience = "https://api.parlomatic.localhost/";

class IdentityRoundTripTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(folder);
        ASSERT_TRUE(test::writeLoopbackTlsFiles(folder));
        ChildProcess account(
            {"node", sourceDir + "/services/identity/account.mjs", "--data-dir", folder / "identity", "--user", "ana"});
        const auto line = account.readLine(30s);
        ASSERT_TRUE(line && line->size() >= 16) << "account.mjs printed no password";
        password = *line;
        startIdentity();
    }
    void TearDown() override
    {
        identity.reset();
        fs::remove_all(folder);
    }

    void startIdentity()
    {
        // A Node start now and then never gets as far as listening on a busy machine: one that has
        // said nothing after 30 s is ended and tried again, three times at most.
        std::optional<std::string> line;
        for (int attempt = 0; attempt < 3 && !(line && line->starts_with("port ")); ++attempt) {
            identity.reset(); // the port is taken again by the new process
            identity = std::make_unique<ChildProcess>(std::vector<std::string>{
                "node", sourceDir + "/services/identity/server.mjs", "--cert", folder / "cert.pem", "--key",
                folder / "key.pem", "--port", std::to_string(port), "--lifetime", "300", "--data-dir",
                folder / "identity", "--audience", audience, "--genders", folder / "genders.json"});
            line = identity->readLine(30s);
        }
        ASSERT_TRUE(line && line->starts_with("port ")) << "the identity service did not start";
        port = std::stoi(line->substr(5));
        issuer = "https://127.0.0.1:" + std::to_string(port) + "/";
    }

    json post(const std::string& path, const json& body)
    {
        const auto response = http.send({.method = "POST",
                                         .url = issuer + path,
                                         .headers = {{"Content-Type", "application/json"}},
                                         .body = body.dump()});
        EXPECT_TRUE(response && response->status == 200) << (response ? response->body : "no answer");
        return response ? json::parse(response->body, nullptr, false) : json();
    }

    // Signs in through the login page; gives the token answer of the code exchange.
    json signIn()
    {
        std::string code;
        httplib::Server callback;
        callback.Get("/callback", [&](const httplib::Request& request, httplib::Response& response) {
            code = request.get_param_value("code");
            response.set_content("done", "text/plain");
        });
        const int callbackPort = callback.bind_to_any_port("127.0.0.1");
        std::thread serving([&] { callback.listen_after_bind(); });
        const std::string verifier = *identity::randomURLSafe();
        const std::string redirect = "http://127.0.0.1:" + std::to_string(callbackPort) + "/callback";
        const std::string url = issuer + "authorize?client_id=parlomatic-dev&response_type=code&redirect_uri=" +
                                httplib::detail::encode_query_param(redirect) +
                                "&scope=openid%20profile%20email%20offline_access&state=s&prompt=login"
                                "&code_challenge_method=S256&code_challenge=" +
                                identity::codeChallenge(verifier);
        ChildProcess browser(
            {"node", sourceDir + "/tests/identity/browser.mjs", url},
            {{"NODE_EXTRA_CA_CERTS", folder / "ca.pem"}, {"BROWSER_EMAIL", "ana"}, {"BROWSER_PASSWORD", password}});
        EXPECT_EQ(browser.waitForExit(60s), 0);
        callback.stop();
        serving.join();
        EXPECT_FALSE(code.empty());
        return post("oauth/token", {{"grant_type", "authorization_code"},
                                    {"code", code},
                                    {"code_verifier", verifier},
                                    {"redirect_uri", redirect},
                                    {"client_id", "parlomatic-dev"}});
    }

    fs::path folder = fs::temp_directory_path() / ("pm-identity-" + std::to_string(::getpid()));
    std::string password;
    std::unique_ptr<ChildProcess> identity;
    int port = 0;
    std::string issuer;
    CurlHttpClient http{CurlHttpClient::Options{.extraCaFile = folder / "ca.pem"}};
};

TEST_F(IdentityRoundTripTest, AccessTokensWorkAtTheTextServiceAndTheGenderComesBackInTheNextIdToken)
{
    const json tokens = signIn();
    ASSERT_TRUE(tokens.contains("access_token") && tokens.contains("refresh_token")) << tokens.dump();
    const auto idToken = jwt::decode(tokens["id_token"].get<std::string>());
    ASSERT_TRUE(idToken);
    EXPECT_EQ(idToken->subject(), "local|ana");
    EXPECT_EQ(idToken->claim("email").string(), "ana@localhost");
    EXPECT_FALSE(idToken->claim("pm_gender").string());

    // The text service takes the access token and stores the gender for its subject.
    TextTranslator translator("/usr/share/apertium/modes");
    Improver improver("/usr/share/hunspell");
    JwksTokenVerifier verifier(http, issuer + ".well-known/jwks.json", issuer, audience);
    GenderStore genders(folder / "genders.json");
    TextService service(translator, improver, verifier, genders,
                        {.certificateFile = folder / "cert.pem",
                         .keyFile = folder / "key.pem",
                         .keepAliveSeconds = 1,
                         .logRequests = false});
    ASSERT_TRUE(service.bind(0));
    std::thread serving([&] { service.serve(); });
    const auto patched =
        http.send({.method = "PATCH",
                   .url = "https://127.0.0.1:" + std::to_string(service.port()) + "/v1/user/metadata",
                   .headers = {{"Content-Type", "application/json"},
                               {"Authorization", "Bearer " + tokens["access_token"].get<std::string>()}},
                   .body = R"({"gender":"masculine"})"});
    service.stop();
    serving.join();
    ASSERT_TRUE(patched);
    EXPECT_EQ(patched->status, 200) << patched->body;
    EXPECT_EQ(genders.get("local|ana"), "masculine");

    // A restart keeps the keys and the session: the refresh token still works, and the new ID
    // token carries the stored gender.
    startIdentity();
    const json renewed = post(
        "oauth/token",
        {{"grant_type", "refresh_token"}, {"refresh_token", tokens["refresh_token"]}, {"client_id", "parlomatic-dev"}});
    const auto renewedId = jwt::decode(renewed.value("id_token", ""));
    ASSERT_TRUE(renewedId) << renewed.dump();
    EXPECT_EQ(renewedId->claim("pm_gender").string(), "masculine");
    EXPECT_TRUE(verifier.verify(renewed.value("access_token", "")));
    EXPECT_EQ(renewedId->header()["kid"], idToken->header()["kid"]);
}

} // namespace
} // namespace parlomatic::textservice
