#include "service/Translator.h"
#include "service/UserMetadata.h"
#include "wire/TextServiceResponses.h"

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

    // Exactly one decode-failure line when `decodeFailure`, else none; never a secret or the body.
    // One line for an answer other than 200 (its status, never its body) or for a body that did not
    // decode; none otherwise.
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

TEST_F(TranslatorTest, PostsTheTextServiceRequest)
{
    const struct {
        std::optional<std::string> source;
        std::optional<Gender> gender;
        nlohmann::json expectedBody;
    } cases[] = {{std::nullopt, std::nullopt, {{"q", userText}, {"target", "pt-BR"}}},
                 {"en-US", std::nullopt, {{"q", userText}, {"target", "pt-BR"}, {"source", "en-US"}}},
                 {std::nullopt, Gender::masculine, {{"q", userText}, {"target", "pt-BR"}, {"gender", "masculine"}}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expectedBody.dump());
        clearRequests();
        ASSERT_TRUE(translator.translate(userText, "pt-BR", token, c.source, c.gender).has_value());
        expectOnePost("/v1/translate", c.expectedBody);
    }
}

TEST_F(TranslatorTest, ImprovePostsOnlyTheText)
{
    setReply(200, R"({"data":{"improvements":[{"improvedText":"better"}]}})");

    EXPECT_EQ(translator.improve(userText, token), "better");
    expectOnePost("/v1/improve", {{"q", userText}});
}

TEST_F(TranslatorTest, SendsTextThatIsNotUtf8WithReplacementCharacters)
{
    ASSERT_TRUE(translator.translate("caf\xe9 ok", "en-US", token, std::nullopt, std::nullopt).has_value());

    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(bodyOf(requests().front())["q"], "caf\uFFFD ok");
}

TEST_F(TranslatorTest, TranslateAnswersAreInterpreted)
{
    const std::string two = R"({"data":{"translations":[{"translatedText":"uno"},{"translatedText":"dos"}]},"x":1})";
    const TranslateResult placeholder{std::string(noTranslatedText), 1'700'000'000.5, true};
    const struct {
        int status;
        std::string body;
        std::optional<TranslateResult> expected;
        bool logsDecodeFailure;
    } cases[] = {
        {200, two, TranslateResult{"uno", 1'700'000'000.5, false}, false},
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
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        logs.clear();
        setReply(c.status, c.body);
        EXPECT_EQ(translator.translate(userText, "es-MX", token, std::nullopt, std::nullopt), c.expected);
        expectAnswerLogs(c.status, c.logsDecodeFailure, c.body);
    }
}

TEST_F(TranslatorTest, ImproveAnswersAreInterpreted)
{
    const struct {
        std::string body;
        int status;
        std::optional<std::string> expected;
        bool logsDecodeFailure;
    } cases[] = {
        {R"({"data":{"improvements":[{"improvedText":"a"},{"improvedText":"b"}]}})", 200, "a", false},
        {R"({"data":{"improvements":[]}})", 200, "", false},
        {R"({"data":{"improvements":[]}})", 500, std::nullopt, false},
        {R"({"data":{"translations":[]}})", 200, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        logs.clear();
        setReply(c.status, c.body);
        EXPECT_EQ(translator.improve(userText, token), c.expected);
        expectAnswerLogs(c.status, c.logsDecodeFailure, c.body);
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

TEST_F(TranslatorTest, RefusesAnUntrustedServerAndAnOversizedBody)
{
    CurlHttpClient systemTrustOnly;
    CurlHttpClient::Options small = trustingOptions();
    small.maxBodyBytes = 16;
    CurlHttpClient capped(small);
    setReply(200, R"({"data":{"translations":[{"translatedText":"uno"}]}})");

    EXPECT_EQ(Translator(systemTrustOnly, server.hostAndPort(), clock).translate(userText, "en-US", token, {}, {}),
              std::nullopt);
    EXPECT_EQ(Translator(capped, server.hostAndPort(), clock).translate(userText, "en-US", token, {}, {}),
              std::nullopt);

    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("Parlomatic API failed to translate: secure connection failed")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("Parlomatic API failed to translate: the response is too large")) << lines[1];
    EXPECT_EQ(requests().size(), 1u); // the untrusted attempt never reached the handler
    expectNothingSecretLogged("uno");
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

TEST(TranslatorResponsesTest, EncodeAndDecodeWithTheSameMemberNames)
{
    const ResponseData translations{{{Translation{"a"}, Translation{"b"}}}};
    const ImproveDataResponse improvements{{{Improve{"c"}}}};

    EXPECT_EQ(decodeResponseData(nlohmann::json(translations).dump()), translations);
    EXPECT_EQ(decodeImproveDataResponse(nlohmann::json(improvements).dump()), improvements);
    EXPECT_EQ(nlohmann::json(improvements),
              nlohmann::json::parse(R"({"data":{"improvements":[{"improvedText":"c"}]}})"));
}

} // namespace
} // namespace parlomatic
