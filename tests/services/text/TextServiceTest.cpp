#include "TextService.h"
#include "GenderStore.h"
#include "Improver.h"
#include "JwksTokenVerifier.h"
#include "Languages.h"
#include "common/CurlHttpClient.h"
#include "service/Language.h"
#include "service/Translator.h"
#include "service/UserMetadata.h"
#include "support/Base64Url.h"
#include "support/TestKeys.h"
#include "support/TlsTestServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <ctime>
#include <future>
#include <thread>
#include <tuple>

namespace parlomatic::textservice {
namespace {

using nlohmann::json;
using parlomatic::testing::base64UrlEncode;

constexpr const char* audience = "https://api.parlomatic.localhost/";

using SigningKey = parlomatic::testing::TestRsaKey;

// The text service with its real engines, an identity service that only publishes its key set, and
// a client of the product; the engines also on their own. Built once for the program: the engines
// take seconds to start.
class TextServiceTest : public ::testing::Test {
protected:
    struct World {
        std::filesystem::path folder =
            std::filesystem::temp_directory_path() / ("pm-text-service-" + std::to_string(getpid()));
        SigningKey keyA{"key-a"};
        SigningKey keyB{"key-b"};
        std::atomic<bool> publishB{false};
        std::atomic<int> keySetFetches{0};
        test::TlsTestServer identity;
        std::string issuer = identity.baseUrl() + "/";
        CurlHttpClient http{CurlHttpClient::Options{.extraCaFile = identity.caFile()}};
        TextTranslator translator{"/usr/share/apertium/modes"};
        Improver improver{"/usr/share/hunspell"};
        JwksTokenVerifier verifier{http,          issuer + ".well-known/jwks.json", issuer, audience,
                                   systemClock(), std::chrono::milliseconds(0)};
        GenderStore genders{folder / "genders.json"};
        std::unique_ptr<TextService> service;
        std::jthread serving;

        World()
        {
            std::filesystem::create_directories(folder);
            identity.server().Get("/.well-known/jwks.json", [this](const httplib::Request&, httplib::Response& r) {
                keySetFetches.fetch_add(1);
                json keys = json::array({keyA.jwk()});
                if (publishB) {
                    keys.push_back(keyB.jwk());
                }
                r.set_content(json{{"keys", keys}}.dump(), "application/json");
            });
            identity.start();
            identity.writeServerCredentials(folder / "cert.pem", folder / "key.pem");
            service = std::make_unique<TextService>(translator, improver, verifier, genders,
                                                    TextService::Options{.certificateFile = folder / "cert.pem",
                                                                         .keyFile = folder / "key.pem",
                                                                         .maxBodyBytes = std::size_t{1024} * 1024,
                                                                         .maxConnections = 64,
                                                                         .keepAliveSeconds = 1,
                                                                         .logRequests = false});
        }
        ~World()
        {
            service->stop(); // `serving` ends, and is joined as it goes
            std::filesystem::remove_all(folder);
        }
    };

    static void SetUpTestSuite()
    {
        world = std::make_unique<World>();
        ASSERT_TRUE(world->translator.start()) << "Apertium's eng-spa and es-pt pairs must be installed";
        ASSERT_TRUE(world->improver.loaded()) << "hunspell-en-us, hunspell-es and hunspell-pt-br must be installed";
        ASSERT_TRUE(world->verifier.fetchKeys());
        ASSERT_TRUE(world->service->bind(0));
        world->serving = std::jthread([] { world->service->serve(); });
    }
    static void TearDownTestSuite() { world.reset(); }

    static std::string domain() { return "127.0.0.1:" + std::to_string(world->service->port()); }

    static json claims(const json& changes = json::object())
    {
        json body = {{"iss", world->issuer},
                     {"aud", json::array({audience, "https://other/"})},
                     {"sub", "user-1"},
                     {"exp", std::time(nullptr) + 300}};
        if (changes.is_object()) {
            body.update(changes);
        }
        return body;
    }
    static std::string token(const json& changes = json::object(), const SigningKey* key = nullptr)
    {
        key = key != nullptr ? key : &world->keyA;
        return key->token({{"alg", "RS256"}, {"typ", "at+jwt"}, {"kid", key->kid()}}, claims(changes));
    }

    static HttpResponse call(const std::string& method, const std::string& path, const std::string& body,
                             const std::optional<std::string>& bearer = token())
    {
        HttpRequest request{.method = method,
                            .url = "https://" + domain() + path,
                            .headers = {{"Content-Type", "application/json"}},
                            .body = body};
        if (bearer) {
            request.headers.emplace_back("Authorization", "Bearer " + *bearer);
        }
        auto response = world->http.send(request);
        EXPECT_TRUE(response.has_value());
        return response.value_or(HttpResponse{});
    }

    static std::string translate(std::string_view text, Lang source, Lang target)
    {
        auto result = world->translator.translate(text, source, target);
        EXPECT_TRUE(result.has_value());
        return result.value_or("<failed>");
    }

    static inline std::unique_ptr<World> world;
};

TEST_F(TextServiceTest, AnswersTheClientsTranslateAndImproveCalls)
{
    const Translator client(world->http, domain());
    const std::string sentence = "The house is big and the garden is beautiful.";
    const auto spanish = client.translate(sentence, "es-MX", token(), std::string("en"), Gender::feminine);
    ASSERT_TRUE(spanish.has_value());
    EXPECT_EQ(spanish->text, "La casa es grande y el jardín es bello.");
    // Without "source" the service detects it.
    const auto portuguese = client.translate(sentence, "pt-BR", token(), std::nullopt, std::nullopt);
    ASSERT_TRUE(portuguese.has_value());
    EXPECT_EQ(portuguese->text, "A casa é grande e o jardim é belo.");
    EXPECT_EQ(client.improve("i recieve the leter tomorow .", token()), "I receive the letter tomorrow.");
    // Every language the client offers, sent as it sends them, and the recogniser's tags.
    for (const Language language : allLanguages) {
        const std::string languageCode(code(language));
        SCOPED_TRACE(languageCode);
        EXPECT_TRUE(client.translate(sentence, languageCode, token(), languageCode.substr(0, 2), std::nullopt));
        EXPECT_TRUE(client.translate(sentence, "en-US", token(), languageCode, Gender::masculine));
    }
}

TEST_F(TextServiceTest, RefusesMissingAndBadTokens)
{
    const auto now = std::time(nullptr);
    const SigningKey stranger{"key-a"}; // the right key id, another key
    const std::string good = token();
    const auto refused = [](const char* what, const std::optional<std::string>& bearer) {
        SCOPED_TRACE(what);
        const auto response = call("POST", "/v1/translate", R"({"q":"Hello.","target":"es"})", bearer);
        EXPECT_EQ(response.status, 401);
        EXPECT_TRUE(response.header("WWW-Authenticate").has_value());
        EXPECT_TRUE(json::parse(response.body, nullptr, false).contains("error"));
    };
    refused("no token", std::nullopt);
    refused("not a JWT", "abc");
    refused("unsigned", parlomatic::testing::makeToken(R"({"alg":"none"})", claims().dump(), ""));
    refused("another key", token({}, &stranger));
    refused("altered body", good.substr(0, good.find('.') + 1) + base64UrlEncode(claims({{"sub", "admin"}}).dump()) +
                                good.substr(good.rfind('.')));
    refused("another issuer", token({{"iss", "https://elsewhere/"}}));
    refused("another audience", token({{"aud", "https://other/"}}));
    refused("expired", token({{"exp", now - 1}}));
    refused("no expiry", token({{"exp", nullptr}}));
    refused("not yet valid", token({{"nbf", now + 600}}));
    refused("no subject", token({{"sub", ""}}));
}

TEST_F(TextServiceTest, FetchesTheKeySetAgainForAnUnknownKeyId)
{
    const int before = world->keySetFetches.load();
    const std::string rotated = token({}, &world->keyB);
    EXPECT_EQ(call("POST", "/v1/improve", R"({"q":"ok"})", rotated).status, 401);
    world->publishB = true;
    EXPECT_EQ(call("POST", "/v1/improve", R"({"q":"ok"})", rotated).status, 200);
    EXPECT_EQ(world->keySetFetches.load(), before + 2);
    world->publishB = false;

    // Tokens with made-up key ids do not make the service fetch again within the interval.
    JwksTokenVerifier limited(world->http, world->issuer + ".well-known/jwks.json", world->issuer, audience,
                              systemClock(), std::chrono::hours(1));
    ASSERT_TRUE(limited.fetchKeys());
    const int afterStart = world->keySetFetches.load();
    for (const char* kid : {"made-up-1", "made-up-2", "made-up-3"}) {
        EXPECT_FALSE(limited.verify(world->keyB.token({{"alg", "RS256"}, {"kid", kid}}, claims())));
    }
    EXPECT_EQ(world->keySetFetches.load(), afterStart);
}

TEST_F(TextServiceTest, AnswersBadRequestsWithJsonErrors)
{
    const auto answers = [](const char* method, const char* path, const std::string& body, int status) {
        SCOPED_TRACE(std::string(method) + " " + path + " " + body.substr(0, 60));
        const auto response = call(method, path, body);
        EXPECT_EQ(response.status, status);
        const auto error = json::parse(response.body, nullptr, false);
        EXPECT_TRUE(error.contains("error") && error.contains("message")) << response.body.substr(0, 200);
    };
    answers("POST", "/v1/translate", "{not json", 400);
    answers("POST", "/v1/translate", "[1,2]", 400);
    answers("POST", "/v1/translate", R"({"target":"es"})", 400);
    answers("POST", "/v1/translate", R"({"q":7,"target":"es"})", 400);
    answers("POST", "/v1/translate", R"({"q":"Hello.","target":"fr"})", 400);
    answers("POST", "/v1/translate", R"({"q":"Hello.","target":"es","source":"de"})", 400);
    answers("POST", "/v1/translate", R"({"q":"Hello.","target":"es","gender":"neuter"})", 400);
    answers("POST", "/v1/translate", R"({"q":"12345","target":"es"})", 400);
    answers("POST", "/v1/improve", R"({"text":"Hello."})", 400);
    answers("PATCH", "/v1/user/metadata", R"({"gender":"Feminine"})", 400);
    answers("POST", "/v1/improve", R"({"q":")" + std::string(std::size_t{1024} * 1024, 'a') + R"("})", 413);
    answers("GET", "/v1/translate", "", 405);
    answers("PATCH", "/v1/improve", R"({"q":"Hello."})", 405);
    answers("POST", "/v1/user/metadata", R"({"gender":"feminine"})", 405);
    answers("GET", "/v2/anything", "", 404);
}

TEST_F(TextServiceTest, KeepsThePreferredGenderPerSubject)
{
    const UserMetadata client(world->http, domain());
    EXPECT_TRUE(client.updateUserMetadata(Gender::feminine, token()));
    EXPECT_TRUE(client.updateUserMetadata(Gender::masculine, token({{"sub", "user-2"}})));
    EXPECT_EQ(world->genders.get("user-1"), "feminine");
    EXPECT_EQ(world->genders.get("user-2"), "masculine");
    EXPECT_EQ(std::filesystem::status(world->genders.file()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// A bounded load: 20 clients, each with its own connection, 50 translations each, all right.
TEST_F(TextServiceTest, TwentyClientsOfFiftyTranslationsEach)
{
    const std::string sentences[] = {"The house is big.", "I like the red car.", "We live in a small house."};
    const std::string expected[] = {"La casa es grande.", "Me gusta el coche rojo.", "Vivimos en una casa pequeña."};
    const std::string bearer = token();
    std::vector<std::future<int>> clients;
    clients.reserve(20);
    for (int c = 0; c < 20; ++c) {
        clients.push_back(std::async(std::launch::async, [&, c] {
            CurlHttpClient http(CurlHttpClient::Options{.extraCaFile = world->identity.caFile()});
            const Translator client(http, domain());
            int wrong = 0;
            for (int i = 0; i < 50; ++i) {
                const int k = (c + i) % 3;
                const auto result = client.translate(sentences[k], "es-MX", bearer, std::string("en-US"), std::nullopt);
                wrong += !result || result->text != expected[k];
            }
            return wrong;
        }));
    }
    int wrong = 0;
    for (auto& client : clients) {
        wrong += client.get();
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(TextServiceTest, TranslatesBetweenTheThreeLanguagesAsApertiumDoes)
{
    EXPECT_EQ(translate("The house is big and the garden is beautiful.", Lang::en, Lang::es),
              "La casa es grande y el jardín es bello.");
    EXPECT_EQ(translate("La casa es grande y el jardín es bonito.", Lang::es, Lang::en),
              "The house is big and the garden is beautiful.");
    EXPECT_EQ(translate("The house is big and the garden is beautiful.", Lang::en, Lang::pt),
              "A casa é grande e o jardim é belo.");
    EXPECT_EQ(translate("A casa é grande e o jardim é bonito.", Lang::pt, Lang::en),
              "The house is big and the garden is beautiful.");
    EXPECT_EQ(translate("  nada muda\n", Lang::pt, Lang::pt), "  nada muda\n");
    EXPECT_EQ(translate(" \n\n", Lang::en, Lang::es), " \n\n"); // nothing for the engine
    // Breaks, indentation and trailing blanks stay where they were.
    EXPECT_EQ(translate("I like the red car.\n\n  We live in a small house.\t\nThank you!\n", Lang::en, Lang::es),
              "Me gusta el coche rojo.\n\n  Vivimos en una casa pequeña.\t\nGracias!\n");
}

TEST_F(TextServiceTest, LongTextsAreCutBetweenSentencesOrCharacters)
{
    std::string sentences;
    std::string expected;
    while (sentences.size() < 5000) {
        sentences += "The house is big. ";
        expected += "La casa es grande. ";
    }
    sentences.pop_back();
    expected.pop_back();
    EXPECT_EQ(translate(sentences, Lang::en, Lang::es), expected);

    std::string unbroken = "a"; // no space to cut at, and characters of two bytes at odd offsets
    while (unbroken.size() < 5000) {
        unbroken += "ñ";
    }
    unbroken += "a";
    std::string joined;
    for (const std::string_view piece : splitText(unbroken, 2048)) {
        EXPECT_LE(piece.size(), 2048u);
        EXPECT_NE(static_cast<unsigned char>(piece.front()) & 0xC0, 0x80) << "cut inside a character";
        joined += piece;
    }
    EXPECT_EQ(joined, unbroken);
}

TEST_F(TextServiceTest, ApertiumsReservedCharactersAndNulsDoNotBreakTheStream)
{
    const std::string tricky = "Pay 5$ to a@b for [draft] <one> {two} a/b \\ c^d.";
    const std::string out = translate(tricky, Lang::en, Lang::es);
    for (const char c : std::string_view("$@[]<>{}/\\^")) {
        EXPECT_NE(out.find(c), std::string::npos) << c << " in " << out;
    }
    EXPECT_EQ(translate(std::string("The house\0 is big.", 18), Lang::en, Lang::es), "La casa es grande.");
    EXPECT_EQ(translate("The house is big.", Lang::en, Lang::es), "La casa es grande.");
}

TEST_F(TextServiceTest, APipelineWhoseProgramDiedIsStartedAgain)
{
    for (const int pid : world->translator.processIds()) {
        kill(pid, SIGKILL);
    }
    // The request that meets the dead pipeline may fail; the next one runs on fresh programs.
    std::ignore = world->translator.translate("The house is big.", Lang::en, Lang::es);
    EXPECT_EQ(translate("The house is big.", Lang::en, Lang::es), "La casa es grande.");
}

TEST_F(TextServiceTest, DetectsTheSourceLanguage)
{
    EXPECT_EQ(detectLanguage("The house is big and the garden is beautiful."), Lang::en);
    EXPECT_EQ(detectLanguage("La casa es grande y el jardín es bonito, pero la cocina es pequeña."), Lang::es);
    EXPECT_EQ(detectLanguage("A casa é grande e o jardim é bonito, mas a cozinha é pequena."), Lang::pt);
    EXPECT_EQ(detectLanguage("12345 !!!"), std::nullopt);
    EXPECT_EQ(parseLanguage("pt_BR"), Lang::pt);
    EXPECT_EQ(parseLanguage("ES-mx"), Lang::es);
    EXPECT_EQ(parseLanguage("fr"), std::nullopt);
}

TEST_F(TextServiceTest, ImprovesWhatItIsSureOfAndNothingElse)
{
    const Improver& improver = world->improver;
    EXPECT_EQ(improver.improve("i recieve the leter tomorow at the libary .", Lang::en),
              "I receive the letter tomorrow at the library.");
    EXPECT_EQ(improver.improve("It works.  i'm sure ; we agree !", Lang::en), "It works. I'm sure; we agree!");
    EXPECT_EQ(improver.improve("la cancion es muy bonita.  el niño canta .", Lang::es),
              "La canción es muy bonita. El niño canta.");
    EXPECT_EQ(improver.improve("eu nao sei se voce vem.", Lang::pt), "Eu não sei se você vem.");
    // Names, acronyms, addresses, numbers, abbreviations and fragments stay as they are.
    for (const std::string_view kept : {"Zorblax met NASA at https://example.com/teh on 3.5.2024, e.g. in Lisbon",
                                        "We met Dr. smith at 5 p.m. today.", "the red car"}) {
        EXPECT_EQ(improver.improve(kept, Lang::en), kept);
    }
    EXPECT_EQ(improver.improve("  first line\n\nsecond  line", Lang::en), "  first line\n\nsecond line");
    EXPECT_EQ(improver.improve("one  two . three", std::nullopt), "one two. Three");
    EXPECT_EQ(improver.improve("i recieve the leter tomorow ."), "I receive the letter tomorrow.");
}

} // namespace
} // namespace parlomatic::textservice
