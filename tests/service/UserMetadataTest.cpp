#include "service/UserMetadata.h"
#include "service/User.h"

#include "support/Base64Url.h"
#include "support/LoopbackServiceFixture.h"

#include <future>

namespace parlomatic {

void PrintTo(const User& user, std::ostream* out)
{
    *out << "{" << user.id << ", " << user.email << ", " << user.orgId.value_or("-") << ", "
         << (user.gender ? rawValue(*user.gender) : "-") << "}";
}

namespace {

std::string token(const nlohmann::json& claims)
{
    return testing::makeToken(R"({"alg":"RS256","typ":"JWT"})", claims.dump());
}

nlohmann::json with(nlohmann::json claims, const nlohmann::json& extra)
{
    claims.update(extra);
    return claims;
}

TEST(UserTest, ReadsTheClaimsOfTheIdToken)
{
    const nlohmann::json base{{"sub", "auth|42"}, {"email", "ana@example.com"}};
    const User plain{.id = "auth|42", .email = "ana@example.com", .orgId = {}, .gender = {}};
    const std::tuple<std::string, std::string, std::optional<User>> table[] = {
        {"AllClaims", token(with(base, {{"pm_org_id", "org-1"}, {"pm_gender", "feminine"}})),
         User{.id = "auth|42", .email = "ana@example.com", .orgId = "org-1", .gender = Gender::feminine}},
        {"RequiredOnly", token(base), plain},
        {"CapitalisedGender", token(with(base, {{"pm_gender", "Feminine"}})), plain},
        {"UnknownGender", token(with(base, {{"pm_gender", "female"}})), plain},
        {"NumericClaims", token(with(base, {{"pm_gender", 1}, {"pm_org_id", 7}})), plain},
        {"NoEmail", token({{"sub", "auth|42"}}), std::nullopt},
        {"EmailNotString", token({{"sub", "auth|42"}, {"email", true}}), std::nullopt},
        {"NoSubject", token({{"email", "ana@example.com"}}), std::nullopt},
        {"NotAToken", "not-a-token", std::nullopt},
        {"BodyNotJson", testing::makeToken("{}", "nope"), std::nullopt}};
    for (const auto& [name, idToken, expected] : table) {
        EXPECT_EQ(User::fromIdToken(idToken), expected) << name;
    }
}

using namespace std::chrono_literals;

constexpr const char* metaToken = "meta-token-91c";

class UserMetadataTest : public test::LoopbackServiceFixture {
protected:
    CurlHttpClient http{trustingOptions()};
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
};

// Only a 200 is success; whatever the answer, the choice stays.
TEST_F(UserMetadataTest, ChangesLocallyFirstThenPatchesOnlyTheGenderAndKeepsTheChoice)
{
    for (const int status : {200, 204, 201, 500}) {
        SCOPED_TRACE(status);
        user->gender = Gender::masculine;
        clearRequests();
        logs.clear();
        setReply(status, "{}");

        ASSERT_TRUE(changePreferredGender(user, std::string(metaToken), Gender::feminine, metadata, collect));
        EXPECT_EQ(user->gender, Gender::feminine); // before any traffic
        EXPECT_TRUE(requests().empty());

        runJobs();

        ASSERT_EQ(requests().size(), 1u);
        const test::RecordedRequest sent = requests().front();
        EXPECT_EQ(sent.method, "PATCH");
        EXPECT_EQ(sent.target, "/v1/user/metadata");
        EXPECT_EQ(sent.header("Authorization"), std::string("Bearer ") + metaToken);
        EXPECT_EQ(sent.header("Content-Type"), "application/json");
        EXPECT_EQ(bodyOf(sent), (nlohmann::json{{"gender", "feminine"}}));
        EXPECT_EQ(user->gender, Gender::feminine);
        EXPECT_EQ(logs.lines(),
                  status == 200 ? std::vector<std::string>{} : std::vector<std::string>{"Failed to update gender!"});
    }
}

TEST_F(UserMetadataTest, TransportFailureIsLoggedWithoutTheToken)
{
    setReply([this](const httplib::Request&, httplib::Response&) { server.waitForStop(); });
    test::ShortTimeoutClient impatient(http, 300ms);
    UserMetadata slow(impatient, server.hostAndPort());

    ASSERT_TRUE(changePreferredGender(user, std::string(metaToken), Gender::feminine, slow, collect));
    runJobs();

    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(userMetadataFailurePrefix)) << lines[0];
    EXPECT_EQ(lines[1], "Failed to update gender!");
    EXPECT_EQ(user->gender, Gender::feminine);
    EXPECT_EQ(impatient.requestedTimeouts(), std::vector<std::chrono::milliseconds>{60s});
    logs.expectNoLineContains({metaToken});
}

TEST_F(UserMetadataTest, WithoutUserChoiceOrTokenNothingChangesAndNothingIsSent)
{
    std::optional<User> nobody;
    EXPECT_FALSE(changePreferredGender(nobody, std::string(metaToken), Gender::feminine, metadata, collect));
    EXPECT_FALSE(changePreferredGender(user, std::string(metaToken), std::nullopt, metadata, collect));
    EXPECT_FALSE(changePreferredGender(user, std::nullopt, Gender::feminine, metadata, collect));

    EXPECT_FALSE(nobody.has_value());
    EXPECT_EQ(user->gender, Gender::masculine);
    EXPECT_TRUE(jobs.empty());
    EXPECT_TRUE(requests().empty());
}

} // namespace
} // namespace parlomatic
