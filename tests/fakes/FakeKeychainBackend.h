#pragma once

#include "identity/keychain/KeychainQuery.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace parlomatic::identity {

// An in-memory keychain of one item per (service, account), with the platform's statuses; it
// answers forced statuses.
class FakeKeychainBackend final : public KeychainBackend {
public:
    OSStatus copyMatching(const KeychainQuery& query, KeychainResult& result) override
    {
        std::lock_guard lock(m_mutex);
        if (readStatus) {
            return *readStatus;
        }
        const auto item = m_items.find(keyOf(query));
        if (item == m_items.end()) {
            return errSecItemNotFound;
        }
        if (flagAttribute(query, kSecReturnData)) {
            result = item->second;
        }
        return errSecSuccess;
    }

    OSStatus add(const KeychainQuery& attributes) override
    {
        std::lock_guard lock(m_mutex);
        if (writeStatus) {
            return *writeStatus;
        }
        const auto data = std::get<Bytes>(attributes.at(std::string(kSecValueData)));
        return m_items.try_emplace(keyOf(attributes), data).second ? errSecSuccess : errSecDuplicateItem;
    }

    OSStatus update(const KeychainQuery& query, const KeychainQuery& changes) override
    {
        std::lock_guard lock(m_mutex);
        if (writeStatus) {
            return *writeStatus;
        }
        const auto item = m_items.find(keyOf(query));
        if (item == m_items.end()) {
            return errSecItemNotFound;
        }
        item->second = std::get<Bytes>(changes.at(std::string(kSecValueData)));
        return errSecSuccess;
    }

    OSStatus remove(const KeychainQuery& query) override
    {
        std::lock_guard lock(m_mutex);
        if (readStatus) {
            return *readStatus;
        }
        return m_items.erase(keyOf(query)) > 0 ? errSecSuccess : errSecItemNotFound;
    }

    std::optional<KeychainValue> createAccessControl(Accessibility, std::uint32_t) override { return std::nullopt; }

    std::optional<OSStatus> writeStatus; // adds and updates
    std::optional<OSStatus> readStatus;  // also answers removals

private:
    static std::pair<std::string, std::string> keyOf(const KeychainQuery& query)
    {
        return {textAttribute(query, kSecAttrService).value_or(""), textAttribute(query, kSecAttrAccount).value_or("")};
    }

    std::map<std::pair<std::string, std::string>, Bytes> m_items;
    std::mutex m_mutex;
};

} // namespace parlomatic::identity
