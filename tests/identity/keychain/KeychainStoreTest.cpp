#include "identity/keychain/KeychainStore.h"
#include "fakes/FakeKeychainBackend.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace parlomatic::identity {
namespace {

using Code = KeychainError::Code;

Bytes bytesOf(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

class KeychainStoreTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeKeychainBackend> backend = std::make_shared<FakeKeychainBackend>();
    KeychainStore store{backend, "com.parlomatic.tests"};

    // A store whose read and delete calls answer the given status and result.
    KeychainStore storeAnswering(OSStatus status, KeychainResult result = std::monostate{})
    {
        return KeychainStore(
            backend, "com.parlomatic.tests", std::nullopt, Accessibility::afterFirstUnlock, std::nullopt, false, {},
            [status, result](const KeychainQuery&, KeychainResult& out) {
                out = result;
                return status;
            },
            [status](const KeychainQuery&) { return status; });
    }
};

class KeychainStatusTest : public ::testing::TestWithParam<std::tuple<OSStatus, Code, const char*>> {};

TEST_P(KeychainStatusTest, MapsStatusToCodeAndDescription)
{
    const auto [status, code, description] = GetParam();
    const KeychainError error = KeychainError::fromStatus(status);
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.description(), description);
}

INSTANTIATE_TEST_SUITE_P(
    AllStatuses, KeychainStatusTest,
    ::testing::Values(std::tuple{-4, Code::operationNotImplemented,
                                 "errSecUnimplemented: A function or operation is not implemented."},
                      std::tuple{-50, Code::invalidParameters,
                                 "errSecParam: One or more parameters passed to the function are not valid."},
                      std::tuple{-128, Code::userCanceled, "errSecUserCanceled: User canceled the operation."},
                      std::tuple{-25291, Code::itemNotAvailable, "errSecNotAvailable: No trust results are available."},
                      std::tuple{-25293, Code::authFailed,
                                 "errSecAuthFailed: Authorization and/or authentication failed."},
                      std::tuple{-25299, Code::duplicateItem, "errSecDuplicateItem: The item already exists."},
                      std::tuple{-25300, Code::itemNotFound, "errSecItemNotFound: The item cannot be found."},
                      std::tuple{-25308, Code::interactionNotAllowed,
                                 "errSecInteractionNotAllowed: Interaction with the Security Server is not allowed."},
                      std::tuple{-26275, Code::decodeFailed, "errSecDecode: Unable to decode the provided data."},
                      std::tuple{-1, Code::other, "Unspecified Keychain error: -1."},
                      std::tuple{-25292, Code::other, "Unspecified Keychain error: -25292."}));

// A second set updates in place; a failed add or update reports its status.
TEST_F(KeychainStoreTest, SetAddsThenUpdates)
{
    ASSERT_TRUE(store.set(bytesOf("one"), "key"));
    ASSERT_TRUE(store.set(bytesOf("two"), "key"));
    EXPECT_EQ(backend->adds.size(), 2u);
    ASSERT_EQ(backend->updates.size(), 1u);
    EXPECT_EQ(backend->removes, 0);
    const auto& [query, changes] = backend->updates.front();
    EXPECT_EQ(textAttribute(query, kSecAttrAccount), "key");
    EXPECT_FALSE(query.contains(kSecValueData));
    EXPECT_EQ(changes.size(), 1u);
    EXPECT_EQ(store.data("key"), bytesOf("two"));

    backend->updateStatus = -25293;
    EXPECT_EQ(store.set("three", "key").error().code, Code::authFailed);
    backend->writeStatus = -25308;
    EXPECT_EQ(store.set("three", "other").error().code, Code::interactionNotAllowed);
    EXPECT_FALSE(store.setEntry(bytesOf("x"), "other"));
}

// No access attributes by default.
TEST_F(KeychainStoreTest, WriteQueryAccessRules)
{
    const KeychainQuery query = store.setQuery("key", bytesOf("v"));
    EXPECT_FALSE(query.contains(kSecAttrAccessControl));
    EXPECT_FALSE(query.contains(kSecAttrAccessible));
    EXPECT_FALSE(query.contains(kSecAttrSynchronizable));
    EXPECT_EQ(textAttribute(query, kSecClass), std::string(kSecClassGenericPassword));
    EXPECT_EQ(std::get<Bytes>(query.at(std::string(kSecValueData))), bytesOf("v"));

    store.isSynchronizable = true;
    EXPECT_EQ(textAttribute(store.setQuery("k", {}), kSecAttrAccessible), "afterFirstUnlock");
    EXPECT_TRUE(flagAttribute(store.setQuery("k", {}), kSecAttrSynchronizable));

    store.isSynchronizable = false;
    store.attributes = {{std::string(kSecUseDataProtectionKeychain), true}};
    store.accessibility = Accessibility::whenUnlocked;
    EXPECT_EQ(textAttribute(store.setQuery("k", {}), kSecAttrAccessible), "whenUnlocked");

    // Flags without an access-control object fall back to the accessibility rule.
    store.accessControlFlags = 1;
    EXPECT_FALSE(store.setQuery("k", {}).contains(kSecAttrAccessControl));
    backend->offersAccessControl = true;
    const KeychainQuery controlled = store.setQuery("k", {});
    EXPECT_EQ(textAttribute(controlled, kSecAttrAccessControl), "whenUnlocked/1");
    EXPECT_FALSE(controlled.contains(kSecAttrAccessible));
}

TEST_F(KeychainStoreTest, StoreAttributesOverrideExtraAttributes)
{
    store.attributes = {{std::string(kSecAttrService), std::string("intruder")},
                        {std::string(kSecAttrAccount), std::string("intruder")},
                        {"label", std::string("kept")}};
    store.accessGroup = "group";
    store.context = "ctx";
    const KeychainQuery query = store.baseQuery("key");
    EXPECT_EQ(textAttribute(query, kSecAttrService), "com.parlomatic.tests");
    EXPECT_EQ(textAttribute(query, kSecAttrAccount), "key");
    EXPECT_EQ(textAttribute(query, "label"), "kept");
    EXPECT_EQ(textAttribute(query, kSecAttrAccessGroup), "group");
    EXPECT_EQ(textAttribute(query, kSecUseAuthenticationContext), "ctx");
    // Without a key the account of the extra attributes stays: deleteAll and keys must not use it.
    EXPECT_EQ(textAttribute(store.baseQuery(), kSecAttrAccount), "intruder");
}

TEST_F(KeychainStoreTest, ReadQueryAsksForOneItemsData)
{
    ASSERT_TRUE(store.set("v", "key"));
    ASSERT_TRUE(store.string("key"));
    EXPECT_TRUE(flagAttribute(backend->lastRead, kSecReturnData));
    EXPECT_EQ(textAttribute(backend->lastRead, kSecMatchLimit), std::string(kSecMatchLimitOne));
    ASSERT_TRUE(store.keys());
    EXPECT_TRUE(flagAttribute(backend->lastRead, kSecReturnAttributes));
    EXPECT_EQ(textAttribute(backend->lastRead, kSecMatchLimit), std::string(kSecMatchLimitAll));
    EXPECT_FALSE(backend->lastRead.contains(kSecAttrAccount));
}

TEST_F(KeychainStoreTest, ReplaceableOperationsStatusesAndResults)
{
    EXPECT_EQ(storeAnswering(-25308).hasItem("k").error().code, Code::interactionNotAllowed);
    EXPECT_EQ(storeAnswering(0).hasItem("k"), true);
    EXPECT_EQ(storeAnswering(-1).data("k").error(), KeychainError::fromStatus(-1));
    EXPECT_EQ(storeAnswering(-1).keys().error(), KeychainError::fromStatus(-1));
    EXPECT_EQ(storeAnswering(-25293).deleteAll().error().code, Code::authFailed);
    EXPECT_EQ(storeAnswering(-128).deleteItem("k").error().code, Code::userCanceled);
    EXPECT_EQ(storeAnswering(-25291).getEntry("k"), std::nullopt);

    // Results of the wrong type.
    EXPECT_EQ(storeAnswering(0).data("k").error(),
              KeychainError::unknown("Unable to cast the retrieved item to a Data value"));
    EXPECT_EQ(storeAnswering(0, std::vector<KeychainQuery>{}).string("k").error(),
              KeychainError::unknown("Unable to cast the retrieved item to a Data value"));
    EXPECT_EQ(storeAnswering(0, bytesOf("x")).keys().error().description(),
              "Unknown error: Unable to cast the retrieved items to a [[String: Any]] value.");
    EXPECT_EQ(storeAnswering(0, Bytes{0xC3, 0x28}).string("k").error(),
              KeychainError::unknown("Unable to convert the retrieved item to a String value"));
    EXPECT_EQ(storeAnswering(0, bytesOf("ol\xC3\xA1")).string("k"), "ol\xC3\xA1");
}

} // namespace
} // namespace parlomatic::identity
