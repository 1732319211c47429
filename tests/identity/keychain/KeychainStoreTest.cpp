#include "identity/keychain/KeychainStore.h"
#include "fakes/FakeKeychainBackend.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace parlomatic::identity {
namespace {

using Code = KeychainError::Code;

TEST(KeychainStoreTest, StatusesMapToCodeAndDescriptionAndEveryFaultIsReported)
{
    const std::tuple<OSStatus, Code, const char*> table[] = {
        {-4, Code::operationNotImplemented, "errSecUnimplemented: A function or operation is not implemented."},
        {-50, Code::invalidParameters, "errSecParam: One or more parameters passed to the function are not valid."},
        {-128, Code::userCanceled, "errSecUserCanceled: User canceled the operation."},
        {-25291, Code::itemNotAvailable, "errSecNotAvailable: No trust results are available."},
        {-25293, Code::authFailed, "errSecAuthFailed: Authorization and/or authentication failed."},
        {-25299, Code::duplicateItem, "errSecDuplicateItem: The item already exists."},
        {-25300, Code::itemNotFound, "errSecItemNotFound: The item cannot be found."},
        {-25308, Code::interactionNotAllowed,
         "errSecInteractionNotAllowed: Interaction with the Security Server is not allowed."},
        {-26275, Code::decodeFailed, "errSecDecode: Unable to decode the provided data."},
        {-1, Code::other, "Unspecified Keychain error: -1."},
        {-25292, Code::other, "Unspecified Keychain error: -25292."}};
    for (const auto& [status, code, description] : table) {
        const KeychainError error = KeychainError::fromStatus(status);
        EXPECT_EQ(error.code, code) << status;
        EXPECT_EQ(error.description(), description);
    }

    // Adding, replacing, the queries and a locked keyring's statuses are guarded against the real
    // keyring (SecretServiceKeychainTest, SecretServiceLockedTest); these are the faults it cannot raise:
    // text must be UTF-8, and every failed read or delete reports its status.
    const auto backend = std::make_shared<FakeKeychainBackend>();
    const KeychainStore store{backend, "com.parlomatic.tests"};
    ASSERT_TRUE(store.set(Bytes{0xC3, 0x28}, "latin"));
    EXPECT_EQ(store.string("latin").error(),
              KeychainError::unknown("Unable to convert the retrieved item to a String value"));
    ASSERT_TRUE(store.set("ol\xC3\xA1", "k"));
    EXPECT_EQ(store.string("k"), "ol\xC3\xA1");

    backend->readStatus = errSecInteractionNotAllowed;
    for (const auto& failed :
         {store.hasItem("k").error(), store.keys().error(), store.deleteAll().error(), store.deleteItem("k").error()}) {
        EXPECT_EQ(failed.code, Code::interactionNotAllowed);
    }
}

} // namespace
} // namespace parlomatic::identity
