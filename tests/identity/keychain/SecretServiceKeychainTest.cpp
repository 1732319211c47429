// Runs inside the desktop harness, against a real, unlocked gnome-keyring.
#include "platform/linux/desktop/SecretServiceKeychain.h"
#include "identity/keychain/KeychainStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

namespace parlomatic::identity {
namespace {

using Code = KeychainError::Code;

// In a fresh process on a bus nobody listens on: every call must fail, none may fall back to
// writing the secret elsewhere.
[[noreturn]] void exitWithoutSecretService()
{
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/parlomatic-bus", 1);
    KeychainStore lonely{std::make_shared<platform::SecretServiceKeychain>(), "com.parlomatic.lonely"};
    const bool ok = lonely.set("secret", "key").error().code == Code::itemNotAvailable &&
                    lonely.data("key").error().code == Code::itemNotAvailable &&
                    lonely.keys().error().code == Code::itemNotAvailable;
    std::exit(ok ? 0 : 1);
}

class SecretServiceKeychainTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(std::getenv("PARLOMATIC_DESKTOP_SESSION"), nullptr) << "run through scripts/desktop-session";
        ASSERT_TRUE(store.deleteAll());
        ASSERT_TRUE(otherStore.deleteAll());
    }

    std::shared_ptr<KeychainBackend> backend = std::make_shared<platform::SecretServiceKeychain>();
    KeychainStore store{backend, "com.parlomatic.keychain-tests"};
    KeychainStore otherStore{backend, "com.parlomatic.keychain-tests.other"};
};

TEST_F(SecretServiceKeychainTest, RoundTripsReplacesAndDeletesWithinItsService)
{
    const Bytes data{0x00, 0x01, 0xFF, 0x00, 0x7F, 0x00};
    ASSERT_TRUE(store.set(data, "binary"));
    EXPECT_EQ(store.data("binary"), data);
    EXPECT_EQ(store.hasItem("binary"), true);
    ASSERT_TRUE(store.set("second, longer", "binary"));
    EXPECT_EQ(store.string("binary"), "second, longer");

    // Missing items, and deletes within the store's own service.
    EXPECT_EQ(store.data("missing").error().code, Code::itemNotFound);
    EXPECT_EQ(store.deleteItem("missing").error().code, Code::itemNotFound);
    EXPECT_EQ(store.hasItem("missing"), false);

    ASSERT_TRUE(store.set("1", "a"));
    ASSERT_TRUE(store.set("2", "b"));
    ASSERT_TRUE(store.set("3", "c"));
    ASSERT_TRUE(store.deleteItem("c"));
    EXPECT_EQ(store.hasItem("c"), false);
    ASSERT_TRUE(otherStore.set("3", "a"));
    auto keys = store.keys();
    ASSERT_TRUE(keys);
    std::sort(keys->begin(), keys->end());
    EXPECT_EQ(*keys, (std::vector<std::string>{"a", "b", "binary"}));
    ASSERT_TRUE(store.deleteAll());
    EXPECT_EQ(store.keys(), std::vector<std::string>{});
    EXPECT_EQ(otherStore.string("a"), "3");
}

TEST(SecretServiceUnavailableTest, EveryCallFails)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithoutSecretService(), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace parlomatic::identity
