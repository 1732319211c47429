// Runs inside the desktop harness. Locks the keyring's default collection for good, so it has a
// program (and a desktop) of its own.
#include "identity/keychain/KeychainStore.h"
#include "platform/linux/desktop/SecretServiceKeychain.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

namespace parlomatic::identity {
namespace {

TEST(SecretServiceLockedTest, LockedCollectionIsAnErrorAndNeverPrompts)
{
    ASSERT_NE(std::getenv("PARLOMATIC_DESKTOP_SESSION"), nullptr) << "run through scripts/desktop-session";
    KeychainStore store{std::make_shared<platform::SecretServiceKeychain>(), "com.parlomatic.locked-tests"};
    ASSERT_TRUE(store.set("before", "kept"));

    ASSERT_EQ(std::system("dbus-send --session --print-reply --dest=org.freedesktop.secrets "
                          "/org/freedesktop/secrets org.freedesktop.Secret.Service.Lock "
                          "array:objpath:/org/freedesktop/secrets/aliases/default >/dev/null"),
              0);

    EXPECT_EQ(store.data("kept").error().code, KeychainError::Code::interactionNotAllowed);
    EXPECT_EQ(store.set("after", "new").error().code, KeychainError::Code::interactionNotAllowed);
    EXPECT_EQ(store.set("after", "kept").error().code, KeychainError::Code::interactionNotAllowed);
    EXPECT_EQ(store.getEntry("kept"), std::nullopt);
}

} // namespace
} // namespace parlomatic::identity
