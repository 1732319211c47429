#include "service/UserMetadata.h"

#include "support/LoopbackServiceFixture.h"

#include <future>

namespace parlomatic {
namespace {

using namespace std::chrono_literals;

constexpr const char* token = "meta-token-91c";

class UserMetadataTest : public test::LoopbackServiceFixture {
protected:
    CurlHttpClient http{trustingOptions()};
    UserMetadata metadata{http, server.hostAndPort()};

    std::optional<User> user = User{"auth|1", "ana@example.com", std::nullopt, Gender::masculine};
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

        ASSERT_TRUE(changePreferredGender(user, std::string(token), Gender::feminine, metadata, collect));
        EXPECT_EQ(user->gender, Gender::feminine); // before any traffic
        EXPECT_TRUE(requests().empty());

        runJobs();

        ASSERT_EQ(requests().size(), 1u);
        const test::RecordedRequest sent = requests().front();
        EXPECT_EQ(sent.method, "PATCH");
        EXPECT_EQ(sent.target, "/v1/user/metadata");
        EXPECT_EQ(sent.header("Authorization"), std::string("Bearer ") + token);
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

    ASSERT_TRUE(changePreferredGender(user, std::string(token), Gender::feminine, slow, collect));
    runJobs();

    const auto lines = logs.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].starts_with(userMetadataFailurePrefix)) << lines[0];
    EXPECT_EQ(lines[1], "Failed to update gender!");
    EXPECT_EQ(user->gender, Gender::feminine);
    EXPECT_EQ(impatient.requestedTimeouts(), std::vector<std::chrono::milliseconds>{60s});
    logs.expectNoLineContains({token});
}

TEST_F(UserMetadataTest, WithoutUserChoiceOrTokenNothingChangesAndNothingIsSent)
{
    std::optional<User> nobody;
    EXPECT_FALSE(changePreferredGender(nobody, std::string(token), Gender::feminine, metadata, collect));
    EXPECT_FALSE(changePreferredGender(user, std::string(token), std::nullopt, metadata, collect));
    EXPECT_FALSE(changePreferredGender(user, std::nullopt, Gender::feminine, metadata, collect));

    EXPECT_FALSE(nobody.has_value());
    EXPECT_EQ(user->gender, Gender::masculine);
    EXPECT_TRUE(jobs.empty());
    EXPECT_TRUE(requests().empty());
}

} // namespace
} // namespace parlomatic
