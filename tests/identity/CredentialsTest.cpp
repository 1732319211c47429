// Credentials (token response, archive, printed form), the manager's errors, and where its
// cross-process lock lives.
#include "identity/Credentials.h"
#include "fakes/FakeClock.h"
#include "fakes/FakeKeychainBackend.h"
#include "identity/AuthenticationError.h"
#include "identity/CredentialsManager.h"
#include "identity/CredentialsManagerError.h"
#include "identity/keychain/KeychainStore.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace parlomatic::identity {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr double now = 1'700'000'000.0;

// Expiry counts from decoding; a text or number of seconds, anything else none. Missing texts are
// empty, mistyped ones fail.
TEST(CredentialsTest, FromTheTokenResponseToTheArchiveAndThePrintedForm)
{
    const std::pair<json, double> table[] = {{"3600", now + 3600}, {"0.5", now + 0.5}, {86400, now + 86400},
                                             {1.5, now + 1.5},     {nullptr, now},     {"soon", now},
                                             {"60s", now},         {true, now}};
    for (const auto& [expiresIn, expected] : table) {
        json response{{"access_token", "a"}};
        if (!expiresIn.is_null()) {
            response["expires_in"] = expiresIn;
        }
        const auto credentials = Credentials::fromTokenResponse(response, now);
        ASSERT_TRUE(credentials) << expiresIn;
        EXPECT_EQ(credentials->expiresIn(), expected) << expiresIn;
    }
    EXPECT_EQ(Credentials::fromTokenResponse(json::object(), now), Credentials("", "", now));
    EXPECT_FALSE(Credentials::fromTokenResponse({{"refresh_token", 5}}, now));
    EXPECT_FALSE(Credentials::fromTokenResponse(json::array(), now));

    // The archive round-trips all seven fields and refuses other objects; the printed form is redacted.
    const Credentials full("at", "Bearer", now + 0.25, "rt", "it", "openid email", "rc");
    const std::string archive = full.archive();
    EXPECT_EQ(Credentials::unarchive(archive, 0), full);
    const json object = json::parse(archive);
    EXPECT_EQ(object["$class"], "Credentials");
    for (const char* key :
         {"accessToken", "tokenType", "expiresIn", "refreshToken", "idToken", "scope", "recoveryCode"}) {
        EXPECT_TRUE(object.contains(key)) << key;
    }
    const Credentials bare("at", "Bearer", now);
    EXPECT_EQ(Credentials::unarchive(bare.archive(), 0), bare);

    // Only one Credentials object unarchives; mistyped keys are tolerated.
    EXPECT_EQ(Credentials::unarchive(R"({"$class":"Credentials"})", now), Credentials("", "", now));
    EXPECT_EQ(Credentials::unarchive(R"({"$class":"Credentials","accessToken":1,"expiresIn":"x","scope":2})", now),
              Credentials("", "", now));
    for (const char* broken : {"", "not json", R"({"accessToken":"a"})", R"({"$class":"User","accessToken":"a"})",
                               R"([{"$class":"Credentials"}])"}) {
        EXPECT_FALSE(Credentials::unarchive(broken, now)) << broken;
    }

    // The printed form redacts every token and shows an absurd expiry.
    const Credentials credentials("secret-access", "Bearer", 0, "secret-refresh", "secret-id", "openid", "secret-rc");
    EXPECT_EQ(credentials.description(),
              R"(Credentials(accessToken: "<REDACTED>", tokenType: "Bearer", expiresIn: 1970-01-01 00:00:00 +0000, )"
              R"(refreshToken: Optional("<REDACTED>"), idToken: "<REDACTED>", scope: Optional("openid"), )"
              R"(recoveryCode: Optional("<REDACTED>")))");

    const auto absurd = Credentials::fromTokenResponse({{"expires_in", 1e300}}, now);
    ASSERT_TRUE(absurd);
    EXPECT_NE(absurd->description().find("expiresIn: 1e+300"), std::string::npos);
}

TEST(CredentialsManagerErrorTest, EveryCodeHasItsExactMessageAndOnlyRefusalsAreFinal)
{
    using Code = CredentialsManagerError::Code;
    const std::pair<CredentialsManagerError, std::string> table[] = {
        {CredentialsManagerError::largeMinTTL(60, 29),
         "The minTTL requested (60s) is greater than the lifetime of the renewed access token (29s). Request a lower "
         "minTTL or increase the 'Token Expiration' value in the settings page of your API at the identity service."},
        {CredentialsManagerError(Code::noCredentials), "No credentials were found in the store."},
        {CredentialsManagerError(Code::noRefreshToken),
         "The stored credentials instance does not contain a refresh token."},
        {CredentialsManagerError(Code::renewFailed), "The credentials renewal failed."},
        {CredentialsManagerError(Code::storeFailed), "Storing the renewed credentials failed."},
        {CredentialsManagerError(Code::biometricsFailed), "The biometric authentication failed."},
        {CredentialsManagerError(Code::revokeFailed), "The revocation of the refresh token failed."},
    };
    for (const auto& [error, message] : table) {
        EXPECT_EQ(error.message(), message);
    }
    EXPECT_NE(CredentialsManagerError::largeMinTTL(60, 29), CredentialsManagerError::largeMinTTL(60, 30));

    // No answer (status 0), a time-out, throttling or the service's own failure keep the session; refusals end it.
    for (const auto& [status, transient] :
         {std::pair{0L, true}, {408L, true}, {429L, true}, {503L, true}, {400L, false}, {401L, false}}) {
        const AuthenticationError cause(nlohmann::json::object(), status);
        EXPECT_EQ(CredentialsManagerError(Code::renewFailed, cause).isTransient(), transient) << status;
    }
    EXPECT_TRUE(CredentialsManagerError(Code::storeUnreachable).isTransient());
    EXPECT_FALSE(CredentialsManagerError(Code::storeFailed).isTransient());
}

// Where the cross-process lock lives: the runtime folder when it is an absolute path, else a
// folder of the temporary folder that only this user can enter (none when others can, or a link).
class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(scratch);
        ::setenv("TMPDIR", scratch.c_str(), 1);
    }
    void TearDown() override
    {
        restore("XDG_RUNTIME_DIR", runtime);
        restore("TMPDIR", temporary);
        fs::remove_all(scratch);
    }
    static std::optional<std::string> variable(const char* name)
    {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void restore(const char* name, const std::optional<std::string>& value)
    {
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }

    const std::optional<std::string> runtime = variable("XDG_RUNTIME_DIR");
    const std::optional<std::string> temporary = variable("TMPDIR");
    const fs::path scratch =
        fs::temp_directory_path() / ("parlomatic-lock-test-" + std::to_string(::getpid()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const fs::path folder = scratch / ("parlomatic-" + std::to_string(::geteuid()));
};

TEST_F(LockFileTest, RuntimeFolderOrAPrivateFolderOfTheTemporaryFolderElseNone)
{
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), "/run/user/4242/parlomatic-credentials.lock");
    EXPECT_EQ(CredentialsManager::defaultLockFile("a/../b"), "/run/user/4242/parlomatic-a_.._b.lock");

    const std::optional<std::string> notAbsolute[] = {std::nullopt, "", "relative/run"};
    for (const auto& value : notAbsolute) {
        restore("XDG_RUNTIME_DIR", value);
        fs::remove_all(folder);
        EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), folder / "parlomatic-credentials.lock");
        struct stat info {};
        ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & (S_IFMT | 0777), S_IFDIR | 0700u);
    }

    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), fs::path());
    fs::remove(folder);
    fs::create_directory(scratch / "elsewhere");
    fs::permissions(scratch / "elsewhere", fs::perms::owner_all);
    fs::create_directory_symlink(scratch / "elsewhere", folder);
    EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), fs::path());

    // Without a lock file of the user's own the retrieval goes on (serialised in the process) and says so.
    const auto store = std::make_shared<KeychainStore>(std::make_shared<FakeKeychainBackend>(), "com.parlomatic.tests");
    const Credentials stored{"at", "Bearer", 2'000.0, "rt", "id"};
    FakeClock clock{1'000.0};
    const auto retrieve = [&](const fs::path& lockFile, const std::string& said) {
        test::LogCapture logs;
        CredentialsManager manager(nullptr, "credentials", store, clock, lockFile);
        EXPECT_TRUE(manager.store(stored));
        EXPECT_EQ(manager.credentials(), stored);
        EXPECT_TRUE(logs.contains(said)) << said;
    };
    retrieve({}, "No private folder for the credentials lock file");
    if (::geteuid() == 0) { // only root can give a file to another user
        const fs::path lockFile = scratch / "foreign.lock";
        std::ofstream(lockFile).close();
        ASSERT_EQ(::chown(lockFile.c_str(), 65534, 65534), 0);
        retrieve(lockFile, "is not the user's own");
    }
}

} // namespace
} // namespace parlomatic::identity
