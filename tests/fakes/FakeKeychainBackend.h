#pragma once

#include "identity/keychain/KeychainQuery.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace parlomatic::identity {

// An in-memory keychain with the platform's statuses; it records its queries and answers forced statuses.
class FakeKeychainBackend final : public KeychainBackend {
public:
    OSStatus copyMatching(const KeychainQuery& query, KeychainResult& result) override
    {
        std::lock_guard lock(m_mutex);
        lastRead = query;
        if (readStatus) {
            return *readStatus;
        }
        const auto matches = matching(query);
        if (matches.empty()) {
            return errSecItemNotFound;
        }
        if (flagAttribute(query, kSecReturnAttributes)) {
            std::vector<KeychainQuery> found;
            for (const auto& key : matches) {
                found.push_back(
                    {{std::string(kSecAttrService), key.first}, {std::string(kSecAttrAccount), key.second}});
            }
            result = std::move(found);
        } else if (flagAttribute(query, kSecReturnData)) {
            result = items.at(matches.front());
        }
        return errSecSuccess;
    }

    OSStatus add(const KeychainQuery& attributes) override
    {
        std::lock_guard lock(m_mutex);
        adds.push_back(attributes);
        if (writeStatus) {
            return *writeStatus;
        }
        const auto key = keyOf(attributes);
        if (items.contains(key)) {
            return errSecDuplicateItem;
        }
        items[key] = std::get<Bytes>(attributes.at(std::string(kSecValueData)));
        return errSecSuccess;
    }

    OSStatus update(const KeychainQuery& query, const KeychainQuery& changes) override
    {
        std::lock_guard lock(m_mutex);
        updates.emplace_back(query, changes);
        if (updateStatus) {
            return *updateStatus;
        }
        const auto key = keyOf(query);
        if (!items.contains(key)) {
            return errSecItemNotFound;
        }
        items[key] = std::get<Bytes>(changes.at(std::string(kSecValueData)));
        return errSecSuccess;
    }

    OSStatus remove(const KeychainQuery& query) override
    {
        std::lock_guard lock(m_mutex);
        ++removes;
        if (readStatus) {
            return *readStatus;
        }
        const auto matches = matching(query);
        if (matches.empty()) {
            return errSecItemNotFound;
        }
        for (const auto& key : matches) {
            items.erase(key);
        }
        return errSecSuccess;
    }

    std::optional<KeychainValue> createAccessControl(Accessibility accessibility, std::uint32_t flags) override
    {
        return std::string(accessibilityConstant(accessibility)) + "/" + std::to_string(flags);
    }

    // (service, account) -> bytes
    std::map<std::pair<std::string, std::string>, Bytes> items;
    std::vector<KeychainQuery> adds;
    std::vector<std::pair<KeychainQuery, KeychainQuery>> updates;
    KeychainQuery lastRead;
    int removes = 0;
    std::optional<OSStatus> writeStatus;
    std::optional<OSStatus> updateStatus;
    std::optional<OSStatus> readStatus; // also answers removals

private:
    static std::pair<std::string, std::string> keyOf(const KeychainQuery& query)
    {
        return {textAttribute(query, kSecAttrService).value_or(""), textAttribute(query, kSecAttrAccount).value_or("")};
    }

    std::vector<std::pair<std::string, std::string>> matching(const KeychainQuery& query) const
    {
        const auto service = textAttribute(query, kSecAttrService).value_or("");
        const auto account = textAttribute(query, kSecAttrAccount);
        std::vector<std::pair<std::string, std::string>> found;
        for (const auto& entry : items) {
            if (entry.first.first == service && (!account || entry.first.second == *account)) {
                found.push_back(entry.first);
            }
        }
        return found;
    }

    std::mutex m_mutex;
};

} // namespace parlomatic::identity
