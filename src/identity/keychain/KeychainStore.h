#pragma once

#include "identity/CredentialsStorage.h"
#include "identity/keychain/KeychainError.h"
#include "identity/keychain/KeychainQuery.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::identity {

// Small secrets as generic-password items of the user's keychain: one item per text key within
// one service name. Every operation builds its query afresh and maps each non-zero status to a
// KeychainError; nothing is retried except the add-then-update step of set(). Thread-safe as long
// as the backend is.
//
// As a CredentialsStorage: getEntry() swallows every error into "absent", readEntry() and
// writeEntry() tell a keychain that cannot be used here (failureOf()) from one that did not answer;
// setEntry() and deleteEntry() answer whether no error was raised.
class KeychainStore final : public CredentialsStorage {
public:
    // The read call (query, out result) and the delete call (query); both give a status.
    using RetrieveFunction = std::function<OSStatus(const KeychainQuery&, KeychainResult&)>;
    using RemoveFunction = std::function<OSStatus(const KeychainQuery&)>;

    // `backend` serves adding and updating, and reading and deleting unless `retrieve` or
    // `remove` are given in their place.
    KeychainStore(std::shared_ptr<KeychainBackend> backend, std::string service,
                  std::optional<std::string> accessGroup = std::nullopt,
                  Accessibility accessibility = Accessibility::afterFirstUnlock,
                  std::optional<std::uint32_t> accessControlFlags = std::nullopt, bool isSynchronizable = false,
                  KeychainQuery attributes = {}, RetrieveFunction retrieve = {}, RemoveFunction remove = {},
                  std::optional<std::string> context = std::nullopt);

    // The nine fields, in the order of construction.
    std::string service;
    std::optional<std::string> accessGroup;
    Accessibility accessibility;
    std::optional<std::uint32_t> accessControlFlags;
    bool isSynchronizable;
    KeychainQuery attributes; // placed under every query; the store's own attributes win
    RetrieveFunction retrieve;
    RemoveFunction remove;
    std::optional<std::string> context; // opaque authentication context handed to the backend

    // Adds the item, or replaces the bytes of an existing one in place.
    std::expected<void, KeychainError> set(const Bytes& data, std::string_view key) const;
    std::expected<void, KeychainError> set(std::string_view text, std::string_view key) const;
    // A missing item fails with itemNotFound.
    std::expected<Bytes, KeychainError> data(std::string_view key) const;
    std::expected<std::string, KeychainError> string(std::string_view key) const;
    std::expected<void, KeychainError> deleteItem(std::string_view key) const;
    // Deleting nothing is a success.
    std::expected<void, KeychainError> deleteAll() const;
    std::expected<bool, KeychainError> hasItem(std::string_view key) const;
    // The account names of every item of the service, in the order the keychain gives them.
    std::expected<std::vector<std::string>, KeychainError> keys() const;

    // What an error means for the storage's user: no keychain service, a locked keychain, an item
    // that cannot be decoded, or a refusal are unusable; any other failure is unreachable.
    static Failure failureOf(const KeychainError& error);

    std::optional<Bytes> getEntry(std::string_view key) override;
    // Only a missing item is "absent".
    std::expected<std::optional<Bytes>, Failure> readEntry(std::string_view key) override;
    bool setEntry(const Bytes& data, std::string_view key) override;
    std::expected<void, Failure> writeEntry(const Bytes& data, std::string_view key) override;
    bool deleteEntry(std::string_view key) override;

    // The queries, exposed for tests of their rules.
    KeychainQuery baseQuery(std::optional<std::string_view> key = std::nullopt, const Bytes* data = nullptr) const;
    KeychainQuery setQuery(std::string_view key, const Bytes& data) const;
    KeychainQuery getOneQuery(std::string_view key) const;

private:
    std::shared_ptr<KeychainBackend> m_backend;
};

} // namespace parlomatic::identity
