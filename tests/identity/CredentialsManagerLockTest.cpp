// Where the cross-process lock of the credentials manager lives, and retrievals without one.
#include "fakes/FakeClock.h"
#include "fakes/FakeKeychainBackend.h"
#include "identity/CredentialsManager.h"
#include "identity/keychain/KeychainStore.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace parlomatic::identity {
namespace {

namespace fs = std::filesystem;

// Sets or unsets an environment variable for the life of the object.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : m_name(name)
    {
        if (const char* old = std::getenv(name)) {
            m_old = old;
        }
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedVariable() { m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

class LockFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        scratch = fs::temp_directory_path() / ("parlomatic-lock-test-" + std::to_string(::getpid()) + "-" +
                                               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(scratch);
    }
    void TearDown() override { fs::remove_all(scratch); }

    fs::path privateFolder() const { return scratch / ("parlomatic-" + std::to_string(::geteuid())); }

    fs::path scratch;
};

TEST_F(LockFileTest, RuntimeDirectoryWhenItIsAnAbsolutePath)
{
    const ScopedVariable runtime("XDG_RUNTIME_DIR", "/run/user/4242");
    EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), "/run/user/4242/parlomatic-credentials.lock");
    EXPECT_EQ(CredentialsManager::defaultLockFile("a/../b"), "/run/user/4242/parlomatic-a_.._b.lock");
}

class LockFileFallbackTest : public LockFileTest, public ::testing::WithParamInterface<std::optional<std::string>> {};

TEST_P(LockFileFallbackTest, PrivateFolderOfTheTemporaryFolder)
{
    const ScopedVariable runtime("XDG_RUNTIME_DIR", GetParam());
    const ScopedVariable temporary("TMPDIR", scratch.string());
    EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), privateFolder() / "parlomatic-credentials.lock");
    struct stat info {};
    ASSERT_EQ(::lstat(privateFolder().c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

INSTANTIATE_TEST_SUITE_P(RuntimeDirectory, LockFileFallbackTest,
                         ::testing::Values(std::nullopt, std::optional<std::string>(""),
                                           std::optional<std::string>("relative/run")));

TEST_F(LockFileTest, NoFolderThatOthersCanEnterOrThatIsALink)
{
    const ScopedVariable runtime("XDG_RUNTIME_DIR", std::nullopt);
    const ScopedVariable temporary("TMPDIR", scratch.string());
    fs::create_directory(privateFolder());
    fs::permissions(privateFolder(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), fs::path());

    fs::remove(privateFolder());
    fs::create_directory(scratch / "elsewhere");
    fs::permissions(scratch / "elsewhere", fs::perms::owner_all);
    fs::create_directory_symlink(scratch / "elsewhere", privateFolder());
    EXPECT_EQ(CredentialsManager::defaultLockFile("credentials"), fs::path());
}

class UnlockedRetrievalTest : public LockFileTest {
protected:
    // A manager whose stored set is still valid, so no renewal (and no client) is needed.
    std::unique_ptr<CredentialsManager> managerWith(const fs::path& lockFile)
    {
        auto manager = std::make_unique<CredentialsManager>(nullptr, "credentials", store, clock, lockFile);
        EXPECT_TRUE(manager->store(stored));
        return manager;
    }

    FakeClock clock{1'000.0};
    std::shared_ptr<KeychainStore> store =
        std::make_shared<KeychainStore>(std::make_shared<FakeKeychainBackend>(), "com.parlomatic.tests");
    Credentials stored{"at", "Bearer", 2'000.0, "rt", "id"};
};

TEST_F(UnlockedRetrievalTest, WithoutALockFileTheRetrievalGoesOnAndSaysSo)
{
    test::LogCapture logs;
    EXPECT_EQ(managerWith({})->credentials(), stored);
    EXPECT_TRUE(logs.contains("No private folder for the credentials lock file"));
}

TEST_F(UnlockedRetrievalTest, LockFileOfAnotherUserIsNotUsed)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a file to another user";
    }
    const fs::path lockFile = scratch / "foreign.lock";
    std::ofstream(lockFile).close();
    ASSERT_EQ(::chown(lockFile.c_str(), 65534, 65534), 0);
    test::LogCapture logs;
    EXPECT_EQ(managerWith(lockFile)->credentials(), stored);
    EXPECT_TRUE(logs.contains("is not the user's own"));
}

} // namespace
} // namespace parlomatic::identity
