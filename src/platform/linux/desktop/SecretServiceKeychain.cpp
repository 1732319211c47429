#include "platform/linux/desktop/SecretServiceKeychain.h"

#include "common/Log.h"
#include "platform/linux/desktop/GlibHandles.h"

#include <libsecret/secret.h>

#include <memory>
#include <string>

namespace parlomatic::platform {

using namespace parlomatic::identity;

namespace {

using ServicePtr = GObjectPtr<SecretService>;
using CollectionPtr = GObjectPtr<SecretCollection>;
using ErrorPtr = GErrorPtr;
using HashTablePtr = UniqueCPtr<GHashTable, g_hash_table_unref>;
using SecretValuePtr = UniqueCPtr<SecretValue, secret_value_unref>;
using ItemListPtr = GObjectListPtr;
using GCharPtr = GMallocPtr<gchar>;

const SecretSchema* schema()
{
    static const SecretSchema instance = [] {
        SecretSchema s{};
        s.name = "org.parlomatic.KeychainItem";
        s.flags = SECRET_SCHEMA_NONE;
        s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return s;
    }();
    return &instance;
}

// No Secret Service here at all, or none that can serve us: waiting does not change that.
bool isLastingAbsence(const GError* error)
{
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_SERVICE_UNKNOWN: // no daemon, and none that the bus can start
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_NOT_SUPPORTED:
        case G_DBUS_ERROR_BAD_ADDRESS:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
            return true;
        default:
            return false;
        }
    }
    // No session bus to ask.
    return error->domain == G_IO_ERROR &&
           (error->code == G_IO_ERROR_NOT_FOUND || error->code == G_IO_ERROR_CONNECTION_REFUSED ||
            error->code == G_IO_ERROR_INVALID_ARGUMENT);
}

OSStatus statusOf(const GError* error)
{
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            return errSecInteractionNotAllowed;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return errSecItemNotFound;
        case SECRET_ERROR_ALREADY_EXISTS:
            return errSecDuplicateItem;
        case SECRET_ERROR_PROTOCOL:
            return errSecDecode;
        default:
            return errSecIO;
        }
    }
    if (error->domain == G_IO_ERROR && error->code == G_IO_ERROR_CANCELLED) {
        return errSecUserCanceled;
    }
    if (error->domain == G_DBUS_ERROR && error->code == G_DBUS_ERROR_ACCESS_DENIED) {
        return errSecAuthFailed;
    }
    // Time-outs, a daemon that went away during the call or answers nonsense: this time only.
    return isLastingAbsence(error) ? errSecNotAvailable : errSecIO;
}

OSStatus statusFor(GError* error)
{
    // The message names the D-Bus failure only; it never carries a secret.
    logError(std::string("Secret Service call failed: ") + error->message);
    const OSStatus status = statusOf(error);
    if (status == errSecNotAvailable || status == errSecIO) {
        // libsecret keeps one connection to the service for the process, bound to the daemon that
        // answered first and to the session opened there. After that daemon went away, or was
        // replaced, every call would still go to it: the next call connects afresh instead.
        secret_service_disconnect();
    }
    return status;
}

// The unique bus name that owns the Secret Service's name now; empty when nobody does.
std::string currentOwner(GDBusProxy* proxy)
{
    GError* raw = nullptr;
    const GVariantPtr reply(g_dbus_connection_call_sync(
        g_dbus_proxy_get_connection(proxy), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "GetNameOwner", g_variant_new("(s)", g_dbus_proxy_get_name(proxy)), G_VARIANT_TYPE("(s)"),
        G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &raw));
    ErrorPtr error(raw);
    if (!reply) {
        return {};
    }
    const gchar* owner = nullptr;
    g_variant_get(reply.get(), "(&s)", &owner);
    return owner ? owner : "";
}

// Opens the service without unlocking anything; nothing when it is not running.
//
// libsecret keeps one connection for the process, bound to the daemon that answered first and to
// the session opened there. When that daemon has gone and another owns the name now (a keyring
// restarted), the old connection would address the departed one for ever: it is dropped, and the
// new daemon connected to.
ServicePtr connect(OSStatus& status)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        GError* raw = nullptr;
        ServicePtr service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw));
        ErrorPtr error(raw);
        if (!service) {
            status = error ? statusFor(error.get()) : errSecNotAvailable;
            return service;
        }
        auto* proxy = G_DBUS_PROXY(service.get());
        const std::string owner = currentOwner(proxy);
        if (owner.empty()) {
            // It answered a moment ago: a daemon that is going away or being replaced.
            logError("The Secret Service is not running");
            secret_service_disconnect();
            status = errSecIO;
            return nullptr;
        }
        GCharPtr known(g_dbus_proxy_get_name_owner(proxy));
        // A connection made just now is taken as it is.
        if ((known && owner == known.get()) || attempt > 0) {
            return service;
        }
        secret_service_disconnect();
    }
    status = errSecIO;
    return nullptr;
}

// The item attributes of a query; the account only when the query names one. The strings stay
// owned by `owner`.
HashTablePtr attributesOf(const KeychainQuery& query, std::string& service, std::optional<std::string>& account)
{
    HashTablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
    service = textAttribute(query, kSecAttrService).value_or("");
    account = textAttribute(query, kSecAttrAccount);
    g_hash_table_insert(table.get(), const_cast<char*>("service"), service.data());
    if (account) {
        g_hash_table_insert(table.get(), const_cast<char*>("account"), account->data());
    }
    return table;
}

bool isValid(const KeychainQuery& query)
{
    return textAttribute(query, kSecClass) == std::string(kSecClassGenericPassword) &&
           textAttribute(query, kSecAttrService).has_value();
}

struct Search {
    ServicePtr service;
    ItemListPtr items;
    OSStatus status = errSecSuccess;
};

Search search(const KeychainQuery& query, SecretSearchFlags flags)
{
    Search found;
    if (!isValid(query)) {
        found.status = errSecParam;
        return found;
    }
    found.service = connect(found.status);
    if (!found.service) {
        return found;
    }
    std::string service;
    std::optional<std::string> account;
    const HashTablePtr attributes = attributesOf(query, service, account);
    GError* raw = nullptr;
    found.items.reset(secret_service_search_sync(found.service.get(), schema(), attributes.get(),
                                                 static_cast<SecretSearchFlags>(flags | SECRET_SEARCH_ALL), nullptr,
                                                 &raw));
    ErrorPtr error(raw);
    if (error) {
        found.status = statusFor(error.get());
    } else if (!found.items) {
        found.status = errSecItemNotFound;
    }
    return found;
}

SecretItem* firstUnlocked(GList* items)
{
    for (GList* node = items; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (!secret_item_get_locked(item)) {
            return item;
        }
    }
    return nullptr;
}

std::optional<std::string> itemAttribute(SecretItem* item, const char* name)
{
    const HashTablePtr attributes(secret_item_get_attributes(item));
    if (!attributes) {
        return std::nullopt;
    }
    const auto* value = static_cast<const char*>(g_hash_table_lookup(attributes.get(), name));
    if (!value) {
        return std::nullopt;
    }
    return std::string(value);
}

SecretValuePtr secretValue(const Bytes& data)
{
    return SecretValuePtr(secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                                           static_cast<gssize>(data.size()), "application/octet-stream"));
}

} // namespace

OSStatus SecretServiceKeychain::copyMatching(const KeychainQuery& query, KeychainResult& result)
{
    result = std::monostate{};
    const bool wantsData = flagAttribute(query, kSecReturnData);
    Search found = search(query, wantsData ? SECRET_SEARCH_LOAD_SECRETS : SECRET_SEARCH_NONE);
    if (found.status != errSecSuccess) {
        return found.status;
    }
    if (flagAttribute(query, kSecReturnAttributes)) {
        std::vector<KeychainQuery> items;
        for (GList* node = found.items.get(); node; node = node->next) {
            auto* item = static_cast<SecretItem*>(node->data);
            KeychainQuery attributes;
            if (auto service = itemAttribute(item, "service")) {
                attributes.emplace(std::string(kSecAttrService), std::move(*service));
            }
            if (auto account = itemAttribute(item, "account")) {
                attributes.emplace(std::string(kSecAttrAccount), std::move(*account));
            }
            items.push_back(std::move(attributes));
        }
        result = std::move(items);
        return errSecSuccess;
    }
    if (!wantsData) {
        return errSecSuccess;
    }
    SecretItem* item = firstUnlocked(found.items.get());
    if (!item) {
        return errSecInteractionNotAllowed;
    }
    const SecretValuePtr value(secret_item_get_secret(item));
    if (!value) {
        return errSecDecode;
    }
    gsize length = 0;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(secret_value_get(value.get(), &length));
    result = Bytes(bytes, bytes + length);
    return errSecSuccess;
}

OSStatus SecretServiceKeychain::add(const KeychainQuery& attributes)
{
    const auto dataIt = attributes.find(kSecValueData);
    if (!textAttribute(attributes, kSecAttrAccount) || dataIt == attributes.end() ||
        !std::holds_alternative<Bytes>(dataIt->second)) {
        return errSecParam;
    }
    // The service's store replaces silently; the keychain reports an existing item instead.
    Search existing = search(attributes, SECRET_SEARCH_NONE);
    if (existing.status == errSecSuccess) {
        return errSecDuplicateItem;
    }
    if (existing.status != errSecItemNotFound) {
        return existing.status;
    }
    GError* raw = nullptr;
    const CollectionPtr collection(secret_collection_for_alias_sync(existing.service.get(), SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, &raw));
    ErrorPtr error(raw);
    if (error) {
        return statusFor(error.get());
    }
    if (!collection) {
        return errSecNotAvailable;
    }
    if (secret_collection_get_locked(collection.get())) {
        return errSecInteractionNotAllowed;
    }
    std::string service;
    std::optional<std::string> account;
    const HashTablePtr table = attributesOf(attributes, service, account);
    const std::string label = service + " " + *account;
    const SecretValuePtr value = secretValue(std::get<Bytes>(dataIt->second));
    if (!secret_service_store_sync(existing.service.get(), schema(), table.get(), SECRET_COLLECTION_DEFAULT,
                                   label.c_str(), value.get(), nullptr, &raw)) {
        error.reset(raw);
        return error ? statusFor(error.get()) : errSecNotAvailable;
    }
    return errSecSuccess;
}

OSStatus SecretServiceKeychain::update(const KeychainQuery& query, const KeychainQuery& changes)
{
    const auto dataIt = changes.find(kSecValueData);
    if (dataIt == changes.end() || !std::holds_alternative<Bytes>(dataIt->second)) {
        return errSecParam;
    }
    Search found = search(query, SECRET_SEARCH_NONE);
    if (found.status != errSecSuccess) {
        return found.status;
    }
    const SecretValuePtr value = secretValue(std::get<Bytes>(dataIt->second));
    for (GList* node = found.items.get(); node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (secret_item_get_locked(item)) {
            return errSecInteractionNotAllowed;
        }
        GError* raw = nullptr;
        if (!secret_item_set_secret_sync(item, value.get(), nullptr, &raw)) {
            ErrorPtr error(raw);
            return error ? statusFor(error.get()) : errSecNotAvailable;
        }
    }
    return errSecSuccess;
}

OSStatus SecretServiceKeychain::remove(const KeychainQuery& query)
{
    Search found = search(query, SECRET_SEARCH_NONE);
    if (found.status != errSecSuccess) {
        return found.status;
    }
    for (GList* node = found.items.get(); node; node = node->next) {
        GError* raw = nullptr;
        if (!secret_item_delete_sync(static_cast<SecretItem*>(node->data), nullptr, &raw)) {
            ErrorPtr error(raw);
            return error ? statusFor(error.get()) : errSecNotAvailable;
        }
    }
    return errSecSuccess;
}

std::optional<KeychainValue> SecretServiceKeychain::createAccessControl(Accessibility, std::uint32_t)
{
    return std::nullopt;
}

} // namespace parlomatic::platform
