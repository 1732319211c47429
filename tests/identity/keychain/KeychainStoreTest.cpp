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
};

TEST(KeychainStatusTest, MapsStatusToCodeAndDescription)
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
}

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

// The product's store writes generic-password items without access attributes.
TEST_F(KeychainStoreTest, Queries)
{
    const KeychainQuery query = store.setQuery("key", bytesOf("v"));
    EXPECT_FALSE(query.contains(kSecAttrAccessControl));
    EXPECT_FALSE(query.contains(kSecAttrAccessible));
    EXPECT_FALSE(query.contains(kSecAttrSynchronizable));
    EXPECT_EQ(textAttribute(query, kSecClass), std::string(kSecClassGenericPassword));
    EXPECT_EQ(textAttribute(query, kSecAttrService), "com.parlomatic.tests");
    EXPECT_EQ(std::get<Bytes>(query.at(std::string(kSecValueData))), bytesOf("v"));

    // Reads ask for one item's data, or for every item's attributes.
    ASSERT_TRUE(store.set("v", "key"));
    ASSERT_TRUE(store.string("key"));
    EXPECT_TRUE(flagAttribute(backend->lastRead, kSecReturnData));
    EXPECT_EQ(textAttribute(backend->lastRead, kSecMatchLimit), std::string(kSecMatchLimitOne));
    ASSERT_TRUE(store.keys());
    EXPECT_TRUE(flagAttribute(backend->lastRead, kSecReturnAttributes));
    EXPECT_EQ(textAttribute(backend->lastRead, kSecMatchLimit), std::string(kSecMatchLimitAll));
    EXPECT_FALSE(backend->lastRead.contains(kSecAttrAccount));
}

// Every failed read or delete reports its status; only the entry read hides it.
TEST_F(KeychainStoreTest, ReadAndDeleteStatuses)
{
    ASSERT_TRUE(store.set(Bytes{0xC3, 0x28}, "latin"));
    EXPECT_EQ(store.string("latin").error(),
              KeychainError::unknown("Unable to convert the retrieved item to a String value"));
    ASSERT_TRUE(store.set("ol\xC3\xA1", "k"));
    EXPECT_EQ(store.string("k"), "ol\xC3\xA1");
    EXPECT_EQ(store.hasItem("k"), true);

    backend->readStatus = -25308;
    EXPECT_EQ(store.hasItem("k").error().code, Code::interactionNotAllowed);
    EXPECT_EQ(store.data("k").error().code, Code::interactionNotAllowed);
    EXPECT_EQ(store.keys().error().code, Code::interactionNotAllowed);
    EXPECT_EQ(store.deleteAll().error().code, Code::interactionNotAllowed);
    EXPECT_EQ(store.deleteItem("k").error().code, Code::interactionNotAllowed);
    EXPECT_EQ(store.getEntry("k"), std::nullopt);
}

} // namespace
} // namespace parlomatic::identity
