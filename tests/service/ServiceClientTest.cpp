#include "service/Translator.h"
#include "service/User.h"
#include "service/UserMetadata.h"

#include "fakes/FakeClock.h"
#include "support/Base64Url.h"
#include "support/LoopbackServiceFixture.h"

#include <future>

namespace parlomatic::service {

void PrintTo(const User& user, std::ostream* out)
{
    *out << "{" << user.id << ", " << user.email << ", " << user.orgId.value_or("-") << ", "
         << (user.gender ? rawValue(*user.gender) : "-") << "}";
}

namespace {

using namespace std::chrono_literals;

TEST(UserTest, ReadsTheClaimsOfTheIdToken)
{
    const nlohmann::json base{{"sub", "auth|42"}, {"email", "ana@example.com"}};
    const auto idToken = [](const nlohmann::json& claims) {
        return testing::makeToken(R"({"alg":"RS256","typ":"JWT"})", claims.dump());
    };
    const auto withBase = [&](nlohmann::json claims) {
        claims.update(base);
        return idToken(claims);
    };
    const User plain{.id = "auth|42", .email = "ana@example.com", .orgId = {}, .gender = {}};
    const std::tuple<std::string, std::string, std::optional<User>> table[] = {
        {"AllClaims", withBase({{"pm_org_id", "org-1"}, {"pm_gender", "feminine"}}),
         User{.id = "auth|42", .email = "ana@example.com", .orgId = "org-1", .gender = Gender::feminine}},
        {"RequiredOnly", idToken(base), plain},
        {"CapitalisedGender", withBase({{"pm_gender", "Feminine"}}), plain},
        {"UnknownGender", withBase({{"pm_gender", "female"}}), plain},
        {"NumericClaims", withBase({{"pm_gender", 1}, {"pm_org_id", 7}}), plain},
        {"NoEmail", idToken({{"sub", "auth|42"}}), std::nullopt},
        {"EmailNotString", idToken({{"sub", "auth|42"}, {"email", true}}), std::nullopt},
        {"NoSubject", idToken({{"email", "ana@example.com"}}), std::nullopt},
        {"NotAToken", "not-a-token", std::nullopt},
        {"BodyNotJson", testing::makeToken("{}", "nope"), std::nullopt}};
    for (const auto& [name, token, expected] : table) {
        EXPECT_EQ(User::fromIdToken(token), expected) << name;
    }
}

constexpr const char* token = "tok-7f3a.secret";
constexpr const char* userText = "Texto secreto del usuario";

// The product's calls of the text service against a loopback server.
class ServiceClientTest : public test::LoopbackServiceFixture {
protected:
    FakeClock clock{1'700'000'000.5};
    CurlHttpClient http{trustingOptions()};
    Translator translator{http, server.hostAndPort(), clock};
    UserMetadata metadata{http, server.hostAndPort()};

    std::optional<User> user =
        User{.id = "auth|1", .email = "ana@example.com", .orgId = {}, .gender = Gender::masculine};
    std::vector<std::function<void()>> jobs;
    RunInBackground collect = [this](std::function<void()> job) { jobs.push_back(std::move(job)); };

    void runJobs()
    {
        for (auto& job : jobs) {
            job();
        }
        jobs.clear();
    }

    // One line for a status other than 200 (never the body) or for a body that did not decode.
    void expectAnswerLogs(int status, bool decodeFailure, std::string_view body) const
    {
        const auto lines = logs.lines();
        ASSERT_EQ(lines.size(), decodeFailure || status != 200 ? 1u : 0u);
        if (decodeFailure) {
            EXPECT_TRUE(lines.front().starts_with("Failed to decode Parlomatic API response: ")) << lines.front();
        } else if (status != 200) {
            EXPECT_TRUE(lines.front().ends_with("the service answered with status " + std::to_string(status)))
                << lines.front();
        }
        expectNothingSecretLogged(body);
    }
    void expectNothingSecretLogged(std::string_view body = {}) const
    {
        logs.expectNoLineContains({token, userText, "Bearer", body});
    }

    // The one request sent: `body` in JSON to `target` with the bearer token.
    void expectOneRequest(const std::string& method, const std::string& target, const nlohmann::json& body) const
    {
        ASSERT_EQ(requests().size(), 1u);
        const test::RecordedRequest sent = requests().front();
        EXPECT_EQ(sent.method, method);
        EXPECT_EQ(sent.target, target);
        EXPECT_EQ(sent.header("Authorization"), std::string("Bearer ") + token);
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        EXPECT_EQ(bodyOf(sent), body);
    }
};

TEST_F(ServiceClientTest, PostsTheTextServiceRequests)
{
    // The text, the source, the gender and the body sent.
    const std::tuple<std::string, std::optional<std::string>, std::optional<Gender>, nlohmann::json> cases[] = {
        {userText, std::nullopt, std::nullopt, {{"q", userText}, {"target", "pt-BR"}}},
        {userText, "en-US", std::nullopt, {{"q", userText}, {"target", "pt-BR"}, {"source", "en-US"}}},
        {userText, std::nullopt, Gender::masculine, {{"q", userText}, {"target", "pt-BR"}, {"gender", "masculine"}}},
        // Text that is not UTF-8 goes with replacement characters.
        {"caf\xe9 ok", std::nullopt, std::nullopt, {{"q", "caf\uFFFD ok"}, {"target", "pt-BR"}}}};
    for (const auto& [text, source, gender, body] : cases) {
        SCOPED_TRACE(body.dump());
        clearRequests();
        ASSERT_TRUE(translator.translate(text, "pt-BR", token, source, gender).has_value());
        expectOneRequest("POST", "/v1/translate", body);
    }
    clearRequests();
    setReply(200, R"({"data":{"improvements":[{"improvedText":"better"}]}})");
    EXPECT_EQ(translator.improve(userText, token), "better");
    expectOneRequest("POST", "/v1/improve", {{"q", userText}});
}

TEST_F(ServiceClientTest, AnswersAreInterpreted)
{
    const std::string two = R"({"data":{"translations":[{"translatedText":"uno"},{"translatedText":"dos"}]},"x":1})";
    const auto translate = [this]() -> std::expected<std::string, TranslatorError> {
        const auto result = translator.translate(userText, "es-MX", token, std::nullopt, std::nullopt);
        if (!result) {
            return std::unexpected(result.error());
        }
        return result->isPlaceholder ? "<placeholder>" : result->text;
    };
    const auto improve = [this] { return translator.improve(userText, token); };
    // The call, the status, the body, the result and whether a decode failure is logged.
    const std::tuple<bool, int, std::string, std::optional<std::string>, bool> cases[] = {
        {false, 200, two, "uno", false},
        {false, 200, R"({"data":{"translations":[]}})", "<placeholder>", false},
        {false, 201, two, std::nullopt, false},
        {false, 204, "", std::nullopt, false},
        {false, 500, two, std::nullopt, false},
        {false, 401, "{}", std::nullopt, false},
        {false, 200, "<html>private page</html>", std::nullopt, true},
        {false, 200, R"({"data":{}})", std::nullopt, true},
        {false, 200, R"({"data":{"translations":[{"translatedText":7}]}})", std::nullopt, true},
        {false, 200, R"({"data":{"translations":{"translatedText":"x"}}})", std::nullopt, true},
        {false, 200, "", std::nullopt, true},
        {true, 200, R"({"data":{"improvements":[{"improvedText":"a"},{"improvedText":"b"}]}})", "a", false},
        {true, 200, R"({"data":{"improvements":[]}})", "", false},
        {true, 500, R"({"data":{"improvements":[]}})", std::nullopt, false},
        {true, 200, R"({"data":{"translations":[]}})", std::nullopt, true},
    };
    for (const auto& [isImprove, status, body, expected, logsDecodeFailure] : cases) {
        SCOPED_TRACE(std::to_string(status) + " " + body);
        logs.clear();
        setReply(status, body);
        const auto answer = isImprove ? improve() : translate();
        EXPECT_EQ(answer ? std::optional(*answer) : std::nullopt, expected);
        expectAnswerLogs(status, logsDecodeFailure, body);
        if (!answer) {
            // The notice is chosen by the kind: a body that cannot be read, or a status other than 200.
            EXPECT_EQ(answer.error().kind,
                      logsDecodeFailure ? TranslatorError::Kind::unusable : TranslatorError::Kind::refused);
            EXPECT_TRUE(logs.contains(answer.error().message)) << "the message is the line logged";
        }
    }
}

TEST_F(ServiceClientTest, AnswersInReverseOrderKeepTheStartTimesOfTheirCalls)
{
    std::promise<void> secondAnswered;
    auto released = secondAnswered.get_future().share();
    setReply([released](const httplib::Request& request, httplib::Response& response) {
        const bool first = request.body.find("first") != std::string::npos;
        if (first) {
            released.wait_for(10s);
        }
        const std::string text = first ? "one" : "two";
        response.set_content(R"({"data":{"translations":[{"translatedText":")" + text + R"("}]}})", "application/json");
    });

    clock.set(100.0);
    auto firstCall =
        std::async(std::launch::async, [&] { return translator.translate("first", "en-US", token, std::nullopt, {}); });
    ASSERT_TRUE(waitForRequests(1));
    clock.set(200.0);
    const auto second = translator.translate("second", "en-US", token, std::nullopt, {});
    secondAnswered.set_value();
    const auto first = firstCall.get();

    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->text, "one");
    EXPECT_EQ(second->text, "two");
    EXPECT_EQ(first->startTime, 100.0);
    EXPECT_EQ(second->startTime, 200.0);
}

// Every call asks for the sixty-second time-out (a real one: CurlHttpClientTest.TimesOutOrAborts...)
// and reads the service domain when it is made, not before.
TEST_F(ServiceClientTest, ATimeOutIsLoggedAsAFailureOfEachCall)
{
    struct TimingOut final : HttpClient {
        std::vector<std::chrono::milliseconds> asked;
        HttpResult send(const HttpRequest& request) override
        {
            asked.push_back(request.timeout);
            return std::unexpected(HttpError{.kind = HttpError::Kind::timeout, .message = "timed out"});
        }
    } timingOut;
    int reads = 0;
    const ApiDomain domain = [&] {
        ++reads;
        return server.hostAndPort();
    };
    const Translator slowTranslator(timingOut, domain, clock);
    const UserMetadata slowMetadata(timingOut, domain);
    EXPECT_EQ(reads, 0);

    const auto kindOf = [](const auto& result) { return result ? std::nullopt : std::optional(result.error().kind); };
    EXPECT_EQ(kindOf(slowTranslator.translate(userText, "en-US", token, "es", Gender::feminine)),
              TranslatorError::Kind::unreachable);
    EXPECT_EQ(kindOf(slowTranslator.improve(userText, token)), TranslatorError::Kind::unreachable);
    ASSERT_TRUE(changePreferredGender(user, std::string(token), Gender::feminine, slowMetadata, collect));
    runJobs();

    EXPECT_EQ(user->gender, Gender::feminine);
    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_TRUE(lines[0].starts_with("Parlomatic API failed to translate: the request timed out")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("Parlomatic API failed to improve: the request timed out")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with(userMetadataFailurePrefix)) << lines[2];
    EXPECT_EQ(lines[3], "Failed to update gender!");
    EXPECT_EQ(timingOut.asked, (std::vector<std::chrono::milliseconds>{60s, 60s, 60s}));
    EXPECT_EQ(reads, 3);
    expectNothingSecretLogged();
}

// Without a user, a choice or a token nothing changes or is sent; otherwise only a 200 is success,
// and whatever the answer, the choice stays.
TEST_F(ServiceClientTest, GenderChangesLocallyFirstThenPatchesOnlyTheGenderAndKeepsTheChoice)
{
    std::optional<User> nobody;
    EXPECT_FALSE(changePreferredGender(nobody, std::string(token), Gender::feminine, metadata, collect));
    EXPECT_FALSE(changePreferredGender(user, std::string(token), std::nullopt, metadata, collect));
    EXPECT_FALSE(changePreferredGender(user, std::nullopt, Gender::feminine, metadata, collect));
    EXPECT_FALSE(nobody.has_value());
    EXPECT_EQ(user->gender, Gender::masculine);
    EXPECT_TRUE(jobs.empty() && requests().empty());

    for (const int status : {200, 204, 201, 500}) {
        SCOPED_TRACE(status);
        user->gender = Gender::masculine;
        clearRequests();
        logs.clear();
        setReply(status, "{}");

        ASSERT_TRUE(changePreferredGender(user, std::string(token), Gender::feminine, metadata, collect));
        EXPECT_EQ(user->gender, Gender::feminine); // before any traffic
        EXPECT_TRUE(requests().empty());

        runJobs();

        expectOneRequest("PATCH", "/v1/user/metadata", {{"gender", "feminine"}});
        EXPECT_EQ(user->gender, Gender::feminine);
        EXPECT_EQ(logs.lines(),
                  status == 200 ? std::vector<std::string>{} : std::vector<std::string>{"Failed to update gender!"});
    }
}

} // namespace
} // namespace parlomatic::service
