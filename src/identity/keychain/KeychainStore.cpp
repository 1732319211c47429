#include "identity/keychain/KeychainStore.h"

#include <utility>

namespace parlomatic::identity {

std::string_view accessibilityConstant(Accessibility accessibility)
{
    switch (accessibility) {
    case Accessibility::whenUnlocked:
        return "whenUnlocked";
    case Accessibility::whenUnlockedThisDeviceOnly:
        return "whenUnlockedThisDeviceOnly";
    case Accessibility::afterFirstUnlock:
        return "afterFirstUnlock";
    case Accessibility::afterFirstUnlockThisDeviceOnly:
        return "afterFirstUnlockThisDeviceOnly";
    case Accessibility::whenPasscodeSetThisDeviceOnly:
        return "whenPasscodeSetThisDeviceOnly";
    }
    return "afterFirstUnlock";
}

std::optional<std::string> textAttribute(const KeychainQuery& query, std::string_view name)
{
    const auto it = query.find(name);
    if (it == query.end() || !std::holds_alternative<std::string>(it->second)) {
        return std::nullopt;
    }
    return std::get<std::string>(it->second);
}

bool flagAttribute(const KeychainQuery& query, std::string_view name)
{
    const auto it = query.find(name);
    return it != query.end() && std::holds_alternative<bool>(it->second) && std::get<bool>(it->second);
}

KeychainStore::KeychainStore(std::shared_ptr<KeychainBackend> backend, std::string service_,
                             std::optional<std::string> accessGroup_, Accessibility accessibility_,
                             std::optional<std::uint32_t> accessControlFlags_, bool isSynchronizable_,
                             KeychainQuery attributes_, RetrieveFunction retrieve_, RemoveFunction remove_,
                             std::optional<std::string> context_)
    : service(std::move(service_)), accessGroup(std::move(accessGroup_)), accessibility(accessibility_),
      accessControlFlags(accessControlFlags_), isSynchronizable(isSynchronizable_), attributes(std::move(attributes_)),
      retrieve(std::move(retrieve_)), remove(std::move(remove_)), context(std::move(context_)),
      m_backend(std::move(backend))
{
    if (!retrieve && m_backend) {
        retrieve = [backend = m_backend](const KeychainQuery& query, KeychainResult& result) {
            return backend->copyMatching(query, result);
        };
    }
    if (!remove && m_backend) {
        remove = [backend = m_backend](const KeychainQuery& query) { return backend->remove(query); };
    }
}

KeychainQuery KeychainStore::baseQuery(std::optional<std::string_view> key, const Bytes* data) const
{
    KeychainQuery query = attributes;
    query.insert_or_assign(std::string(kSecClass), std::string(kSecClassGenericPassword));
    query.insert_or_assign(std::string(kSecAttrService), service);
    if (key) {
        query.insert_or_assign(std::string(kSecAttrAccount), std::string(*key));
    }
    if (data) {
        query.insert_or_assign(std::string(kSecValueData), *data);
    }
    if (accessGroup) {
        query.insert_or_assign(std::string(kSecAttrAccessGroup), *accessGroup);
    }
    if (context) {
        query.insert_or_assign(std::string(kSecUseAuthenticationContext), *context);
    }
    if (isSynchronizable) {
        query.insert_or_assign(std::string(kSecAttrSynchronizable), true);
    }
    return query;
}

KeychainQuery KeychainStore::setQuery(std::string_view key, const Bytes& data) const
{
    KeychainQuery query = baseQuery(key, &data);
    if (accessControlFlags && m_backend) {
        if (auto control = m_backend->createAccessControl(accessibility, *accessControlFlags)) {
            query.insert_or_assign(std::string(kSecAttrAccessControl), std::move(*control));
            return query;
        }
    }
    if (isSynchronizable || flagAttribute(query, kSecUseDataProtectionKeychain)) {
        query.insert_or_assign(std::string(kSecAttrAccessible), std::string(accessibilityConstant(accessibility)));
    }
    return query;
}

KeychainQuery KeychainStore::getOneQuery(std::string_view key) const
{
    KeychainQuery query = baseQuery(key);
    query.insert_or_assign(std::string(kSecReturnData), true);
    query.insert_or_assign(std::string(kSecMatchLimit), std::string(kSecMatchLimitOne));
    return query;
}

std::expected<void, KeychainError> KeychainStore::set(const Bytes& data, std::string_view key) const
{
    if (!m_backend) {
        return std::unexpected(KeychainError::fromStatus(errSecNotAvailable));
    }
    const OSStatus status = m_backend->add(setQuery(key, data));
    if (status == errSecSuccess) {
        return {};
    }
    if (status != errSecDuplicateItem) {
        return std::unexpected(KeychainError::fromStatus(status));
    }
    const KeychainQuery changes{{std::string(kSecValueData), data}};
    const OSStatus updated = m_backend->update(baseQuery(key), changes);
    if (updated != errSecSuccess) {
        return std::unexpected(KeychainError::fromStatus(updated));
    }
    return {};
}

std::expected<void, KeychainError> KeychainStore::set(std::string_view text, std::string_view key) const
{
    return set(Bytes(text.begin(), text.end()), key);
}

std::expected<Bytes, KeychainError> KeychainStore::data(std::string_view key) const
{
    if (!retrieve) {
        return std::unexpected(KeychainError::fromStatus(errSecNotAvailable));
    }
    KeychainResult result;
    const OSStatus status = retrieve(getOneQuery(key), result);
    if (status != errSecSuccess) {
        return std::unexpected(KeychainError::fromStatus(status));
    }
    if (!std::holds_alternative<Bytes>(result)) {
        return std::unexpected(KeychainError::unknown("Unable to cast the retrieved item to a Data value"));
    }
    return std::get<Bytes>(std::move(result));
}

namespace {

bool isUtf8(const Bytes& bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            point = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            point = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > bytes.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
            point = (point << 6) | (bytes[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (point < minimum[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

} // namespace

std::expected<std::string, KeychainError> KeychainStore::string(std::string_view key) const
{
    auto bytes = data(key);
    if (!bytes) {
        return std::unexpected(bytes.error());
    }
    if (!isUtf8(*bytes)) {
        return std::unexpected(KeychainError::unknown("Unable to convert the retrieved item to a String value"));
    }
    return std::string(bytes->begin(), bytes->end());
}

std::expected<void, KeychainError> KeychainStore::deleteItem(std::string_view key) const
{
    if (!remove) {
        return std::unexpected(KeychainError::fromStatus(errSecNotAvailable));
    }
    const OSStatus status = remove(baseQuery(key));
    if (status != errSecSuccess) {
        return std::unexpected(KeychainError::fromStatus(status));
    }
    return {};
}

std::expected<void, KeychainError> KeychainStore::deleteAll() const
{
    if (!remove) {
        return std::unexpected(KeychainError::fromStatus(errSecNotAvailable));
    }
    KeychainQuery query = baseQuery();
    query.insert_or_assign(std::string(kSecMatchLimit), std::string(kSecMatchLimitAll));
    const OSStatus status = remove(query);
    if (status != errSecSuccess && status != errSecItemNotFound) {
        return std::unexpected(KeychainError::fromStatus(status));
    }
    return {};
}

std::expected<bool, KeychainError> KeychainStore::hasItem(std::string_view key) const
{
    if (!retrieve) {
        return std::unexpected(KeychainError::fromStatus(errSecNotAvailable));
    }
    KeychainResult result;
    const OSStatus status = retrieve(baseQuery(key), result);
    if (status == errSecSuccess) {
        return true;
    }
    if (status == errSecItemNotFound) {
        return false;
    }
    return std::unexpected(KeychainError::fromStatus(status));
}

std::expected<std::vector<std::string>, KeychainError> KeychainStore::keys() const
{
    if (!retrieve) {
        return std::unexpected(KeychainError::fromStatus(errSecNotAvailable));
    }
    KeychainQuery query = baseQuery();
    query.insert_or_assign(std::string(kSecReturnAttributes), true);
    query.insert_or_assign(std::string(kSecMatchLimit), std::string(kSecMatchLimitAll));
    KeychainResult result;
    const OSStatus status = retrieve(query, result);
    if (status == errSecItemNotFound) {
        return std::vector<std::string>{};
    }
    if (status != errSecSuccess) {
        return std::unexpected(KeychainError::fromStatus(status));
    }
    if (!std::holds_alternative<std::vector<KeychainQuery>>(result)) {
        return std::unexpected(KeychainError::unknown("Unable to cast the retrieved items to a [[String: Any]] value"));
    }
    std::vector<std::string> accounts;
    for (const auto& item : std::get<std::vector<KeychainQuery>>(result)) {
        if (auto account = textAttribute(item, kSecAttrAccount)) {
            accounts.push_back(std::move(*account));
        }
    }
    return accounts;
}

std::optional<Bytes> KeychainStore::getEntry(std::string_view key)
{
    auto bytes = data(key);
    if (!bytes) {
        return std::nullopt;
    }
    return std::move(*bytes);
}

CredentialsStorage::Failure KeychainStore::failureOf(const KeychainError& error)
{
    using Kind = Failure::Kind;
    switch (error.code) {
    case KeychainError::Code::itemNotAvailable:
        return {Kind::unusable, "no keyring is running"};
    case KeychainError::Code::interactionNotAllowed:
    case KeychainError::Code::userCanceled:
        return {Kind::unusable, "the keyring is locked"};
    case KeychainError::Code::decodeFailed:
        return {Kind::unusable, "the keyring's entry cannot be read"};
    case KeychainError::Code::authFailed:
        return {Kind::unusable, "the keyring refuses access"};
    case KeychainError::Code::operationNotImplemented:
    case KeychainError::Code::invalidParameters:
        return {Kind::unusable, "the keyring cannot keep entries"};
    default:
        return {Kind::unreachable, "the keyring did not answer"};
    }
}

std::expected<std::optional<Bytes>, CredentialsStorage::Failure> KeychainStore::readEntry(std::string_view key)
{
    auto bytes = data(key);
    if (bytes) {
        return std::move(*bytes);
    }
    if (bytes.error().code == KeychainError::Code::itemNotFound) {
        return std::nullopt;
    }
    return std::unexpected(failureOf(bytes.error()));
}

bool KeychainStore::setEntry(const Bytes& data, std::string_view key)
{
    return set(data, key).has_value();
}

std::expected<void, CredentialsStorage::Failure> KeychainStore::writeEntry(const Bytes& data, std::string_view key)
{
    auto written = set(data, key);
    if (!written) {
        return std::unexpected(failureOf(written.error()));
    }
    return {};
}

bool KeychainStore::deleteEntry(std::string_view key)
{
    return deleteItem(key).has_value();
}

} // namespace parlomatic::identity
