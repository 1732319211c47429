#include "service/Translator.h"
#include "service/UserMetadata.h"

#include "fakes/FakeClock.h"
#include "support/LoopbackServiceFixture.h"

#include <future>

namespace parlomatic {

void PrintTo(const TranslateResult& result, std::ostream* out)
{
    *out << "{\"" << result.text << "\", " << result.startTime << (result.isPlaceholder ? ", placeholder}" : "}");
}

namespace {

using namespace std::chrono_literals;
using test::RecordedRequest;

constexpr const char* token = "tok-7f3a.secret";
constexpr const char* userText = "Texto secreto del usuario";

class TranslatorTest : public test::LoopbackServiceFixture {
protected:
    FakeClock clock{1'700'000'000.5};
    CurlHttpClient http{trustingOptions()};
    Translator translator{http, server.hostAndPort(), clock};

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

    // The one request sent: a POST of `body` in JSON to `target` with the bearer token.
    void expectOnePost(const std::string& target, const nlohmann::json& body) const
    {
        ASSERT_EQ(requests().size(), 1u);
        const RecordedRequest sent = requests().front();
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.target, target);
        EXPECT_EQ(sent.header("Authorization"), std::string("Bearer ") + token);
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        EXPECT_EQ(bodyOf(sent), body);
    }
};

TEST_F(TranslatorTest, PostsTheTextServiceRequests)
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
        expectOnePost("/v1/translate", body);
    }
    clearRequests();
    setReply(200, R"({"data":{"improvements":[{"improvedText":"better"}]}})");
    EXPECT_EQ(translator.improve(userText, token), "better");
    expectOnePost("/v1/improve", {{"q", userText}});
}

TEST_F(TranslatorTest, TranslateAnswersAreInterpreted)
{
    const std::string two = R"({"data":{"translations":[{"translatedText":"uno"},{"translatedText":"dos"}]},"x":1})";
    const TranslateResult placeholder{
        .text = std::string(noTranslatedText), .startTime = 1'700'000'000.5, .isPlaceholder = true};
    // The status, the body, the result and whether a decode failure is logged.
    const std::tuple<int, std::string, std::optional<TranslateResult>, bool> cases[] = {
        {200, two, TranslateResult{.text = "uno", .startTime = 1'700'000'000.5, .isPlaceholder = false}, false},
        {200, R"({"data":{"translations":[]}})", placeholder, false},
        {201, two, std::nullopt, false},
        {204, "", std::nullopt, false},
        {500, two, std::nullopt, false},
        {401, "{}", std::nullopt, false},
        {200, "<html>private page</html>", std::nullopt, true},
        {200, R"({"data":{}})", std::nullopt, true},
        {200, R"({"data":{"translations":[{"translatedText":7}]}})", std::nullopt, true},
        {200, R"({"data":{"translations":{"translatedText":"x"}}})", std::nullopt, true},
        {200, "", std::nullopt, true},
    };
    for (const auto& [status, body, expected, logsDecodeFailure] : cases) {
        SCOPED_TRACE(std::to_string(status) + " " + body);
        logs.clear();
        setReply(status, body);
        EXPECT_EQ(translator.translate(userText, "es-MX", token, std::nullopt, std::nullopt), expected);
        expectAnswerLogs(status, logsDecodeFailure, body);
    }
}

TEST_F(TranslatorTest, ImproveAnswersAreInterpreted)
{
    const std::tuple<int, std::string, std::optional<std::string>, bool> cases[] = {
        {200, R"({"data":{"improvements":[{"improvedText":"a"},{"improvedText":"b"}]}})", "a", false},
        {200, R"({"data":{"improvements":[]}})", "", false},
        {500, R"({"data":{"improvements":[]}})", std::nullopt, false},
        {200, R"({"data":{"translations":[]}})", std::nullopt, true},
    };
    for (const auto& [status, body, expected, logsDecodeFailure] : cases) {
        SCOPED_TRACE(std::to_string(status) + " " + body);
        logs.clear();
        setReply(status, body);
        EXPECT_EQ(translator.improve(userText, token), expected);
        expectAnswerLogs(status, logsDecodeFailure, body);
    }
}

TEST_F(TranslatorTest, AnswersInReverseOrderKeepTheStartTimesOfTheirCalls)
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

TEST_F(TranslatorTest, ServerThatNeverAnswersIsLoggedAsAFailureAfterTheSixtySecondTimeOut)
{
    setReply([this](const httplib::Request&, httplib::Response&) { server.waitForStop(); });
    test::ShortTimeoutClient impatient(http, 300ms);
    Translator translatorWithShortTimeout(impatient, server.hostAndPort(), clock);

    EXPECT_EQ(translatorWithShortTimeout.translate(userText, "en-US", token, "es", Gender::feminine), std::nullopt);
    EXPECT_EQ(translatorWithShortTimeout.improve(userText, token), std::nullopt);

    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("Parlomatic API failed to translate: the request timed out")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("Parlomatic API failed to improve: the request timed out")) << lines[1];
    EXPECT_EQ(impatient.requestedTimeouts(), (std::vector<std::chrono::milliseconds>{60s, 60s}));
    expectNothingSecretLogged();
}

TEST_F(TranslatorTest, ReadsTheServiceDomainAtTheFirstRequestNotBefore)
{
    int reads = 0;
    const ApiDomain domain = [&] {
        ++reads;
        return server.hostAndPort();
    };
    const Translator late(http, domain, clock);
    const UserMetadata metadata(http, domain);
    EXPECT_EQ(reads, 0);
    ASSERT_TRUE(late.translate(userText, "en-US", token, {}, {}));
    EXPECT_TRUE(metadata.updateUserMetadata(Gender::feminine, token));
    EXPECT_EQ(reads, 2);
}

} // namespace
} // namespace parlomatic
