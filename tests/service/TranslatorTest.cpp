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

struct ShapeCase {
    std::optional<std::string> source;
    std::optional<Gender> gender;
    nlohmann::json expectedBody;
};

class TranslateRequestTest : public TranslatorTest, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(TranslateRequestTest, PostsTheTextServiceRequest)
{
    ASSERT_TRUE(translator.translate(userText, "pt-BR", token, GetParam().source, GetParam().gender).has_value());
    expectOnePost("/v1/translate", GetParam().expectedBody);
}

INSTANTIATE_TEST_SUITE_P(
    Members, TranslateRequestTest,
    ::testing::Values(ShapeCase{std::nullopt, std::nullopt, {{"q", userText}, {"target", "pt-BR"}}},
                      ShapeCase{"en",
                                Gender::feminine,
                                {{"q", userText}, {"target", "pt-BR"}, {"source", "en"}, {"gender", "feminine"}}},
                      ShapeCase{"en-US",
                                Gender::masculine,
                                {{"q", userText}, {"target", "pt-BR"}, {"source", "en-US"}, {"gender", "masculine"}}}));

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

struct AnswerCase {
    std::string name;
    int status;
    std::string body;
    std::optional<TranslateResult> expected; // startTime filled in by the test
    bool logsDecodeFailure;
};

class TranslateAnswerTest : public TranslatorTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(TranslateAnswerTest, IsInterpreted)
{
    const AnswerCase& c = GetParam();
    setReply(c.status, c.body);

    const auto result = translator.translate(userText, "es-MX", token, std::nullopt, std::nullopt);

    std::optional<TranslateResult> expected = c.expected;
    if (expected) {
        expected->startTime = 1'700'000'000.5;
    }
    EXPECT_EQ(result, expected);
    expectAnswerLogs(c.status, c.logsDecodeFailure, c.body);
}

const std::string twoTranslations = R"({"data":{"translations":[{"translatedText":"uno"},{"translatedText":"dos"}]},
                                        "extra":1})";

INSTANTIATE_TEST_SUITE_P(
    Answers, TranslateAnswerTest,
    ::testing::Values(
        AnswerCase{"FirstOfTwo", 200, twoTranslations, TranslateResult{"uno", 0, false}, false},
        AnswerCase{"EmptyList", 200, R"({"data":{"translations":[]}})",
                   TranslateResult{std::string(noTranslatedText), 0, true}, false},
        AnswerCase{"Created", 201, twoTranslations, std::nullopt, false},
        AnswerCase{"NoContent", 204, "", std::nullopt, false},
        AnswerCase{"ServerError", 500, twoTranslations, std::nullopt, false},
        AnswerCase{"Unauthorized", 401, "{}", std::nullopt, false},
        AnswerCase{"NotJson", 200, "<html>private page</html>", std::nullopt, true},
        AnswerCase{"EmptyData", 200, R"({"data":{}})", std::nullopt, true},
        AnswerCase{"TextNotString", 200, R"({"data":{"translations":[{"translatedText":7}]}})", std::nullopt, true},
        AnswerCase{"ListNotArray", 200, R"({"data":{"translations":{"translatedText":"x"}}})", std::nullopt, true},
        AnswerCase{"EmptyBody", 200, "", std::nullopt, true}),
    [](const auto& testInfo) { return testInfo.param.name; });

struct ImproveCase {
    std::string name;
    int status;
    std::string body;
    std::optional<std::string> expected;
    bool logsDecodeFailure;
};

class ImproveAnswerTest : public TranslatorTest, public ::testing::WithParamInterface<ImproveCase> {};

TEST_P(ImproveAnswerTest, IsInterpreted)
{
    setReply(GetParam().status, GetParam().body);

    EXPECT_EQ(translator.improve(userText, token), GetParam().expected);
    expectAnswerLogs(GetParam().status, GetParam().logsDecodeFailure, GetParam().body);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ImproveAnswerTest,
    ::testing::Values(ImproveCase{"FirstOfTwo", 200,
                                  R"({"data":{"improvements":[{"improvedText":"a"},{"improvedText":"b"}]}})", "a",
                                  false},
                      ImproveCase{"EmptyListIsEmptyText", 200, R"({"data":{"improvements":[]}})", "", false},
                      ImproveCase{"ServerError", 500, R"({"data":{"improvements":[]}})", std::nullopt, false},
                      ImproveCase{"TranslateShape", 200, R"({"data":{"translations":[]}})", std::nullopt, true}),
    [](const auto& testInfo) { return testInfo.param.name; });

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
    setReply(200, twoTranslations);

    EXPECT_EQ(Translator(systemTrustOnly, server.hostAndPort(), clock).translate(userText, "en-US", token, {}, {}),
              std::nullopt);
    EXPECT_EQ(Translator(capped, server.hostAndPort(), clock).translate(userText, "en-US", token, {}, {}),
              std::nullopt);

    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with("Parlomatic API failed to translate: secure connection failed")) << lines[0];
    EXPECT_TRUE(lines[1].starts_with("Parlomatic API failed to translate: the response is too large")) << lines[1];
    EXPECT_EQ(requests().size(), 1u); // the untrusted attempt never reached the handler
    expectNothingSecretLogged(twoTranslations);
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
