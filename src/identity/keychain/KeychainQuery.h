#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace parlomatic::identity {

using Bytes = std::vector<std::uint8_t>;
using OSStatus = std::int32_t;

// One attribute value of a keychain query or item: a flag, a text or a byte buffer.
using KeychainValue = std::variant<bool, std::string, Bytes>;

// A keychain query, and equally the attribute map of one item.
using KeychainQuery = std::map<std::string, KeychainValue, std::less<>>;

// What a read call hands back: nothing, the bytes of one item, or the attribute maps of all matches.
using KeychainResult = std::variant<std::monostate, Bytes, std::vector<KeychainQuery>>;

// Attribute names and fixed values understood by every keychain backend.
inline constexpr std::string_view kSecClass = "class";
inline constexpr std::string_view kSecClassGenericPassword = "genericPassword";
inline constexpr std::string_view kSecAttrService = "service";
inline constexpr std::string_view kSecAttrAccount = "account";
inline constexpr std::string_view kSecValueData = "valueData";
inline constexpr std::string_view kSecAttrAccessGroup = "accessGroup";
inline constexpr std::string_view kSecUseAuthenticationContext = "authenticationContext";
inline constexpr std::string_view kSecAttrSynchronizable = "synchronizable";
inline constexpr std::string_view kSecAttrAccessControl = "accessControl";
inline constexpr std::string_view kSecAttrAccessible = "accessible";
inline constexpr std::string_view kSecUseDataProtectionKeychain = "dataProtectionKeychain";
inline constexpr std::string_view kSecReturnData = "returnData";
inline constexpr std::string_view kSecReturnAttributes = "returnAttributes";
inline constexpr std::string_view kSecMatchLimit = "matchLimit";
inline constexpr std::string_view kSecMatchLimitOne = "matchLimitOne";
inline constexpr std::string_view kSecMatchLimitAll = "matchLimitAll";

// Statuses of keychain calls.
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecUserCanceled = -128;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
// An input/output failure: the keychain service did not answer (no case of its own: `other`).
inline constexpr OSStatus errSecIO = -36;

// When an item may be read.
enum class Accessibility {
    whenUnlocked,
    whenUnlockedThisDeviceOnly,
    afterFirstUnlock,
    afterFirstUnlockThisDeviceOnly,
    whenPasscodeSetThisDeviceOnly,
};

// The value stored under kSecAttrAccessible for a case.
std::string_view accessibilityConstant(Accessibility accessibility);

// The text value of an attribute, or nothing when it is absent or not text.
std::optional<std::string> textAttribute(const KeychainQuery& query, std::string_view name);
// True when the attribute is present and the boolean true.
bool flagAttribute(const KeychainQuery& query, std::string_view name);

// The platform's keychain calls. Queries hold kSecClass, kSecAttrService and usually
// kSecAttrAccount; a backend must report errSecDuplicateItem when add meets an existing item and
// errSecItemNotFound when a read, update or delete finds nothing. Implementations are thread-safe.
class KeychainBackend {
public:
    virtual ~KeychainBackend() = default;

    // Reads matching items. With kSecReturnData and kSecMatchLimitOne the result is the item's
    // bytes; with kSecReturnAttributes and kSecMatchLimitAll, the attribute maps of every match;
    // with neither, only the status tells whether an item matches.
    virtual OSStatus copyMatching(const KeychainQuery& query, KeychainResult& result) = 0;
    // Adds one item from its attributes and kSecValueData.
    virtual OSStatus add(const KeychainQuery& attributes) = 0;
    // Changes the items matching the query to the given attributes (kSecValueData).
    virtual OSStatus update(const KeychainQuery& query, const KeychainQuery& changes) = 0;
    // Deletes the items matching the query (all of them with kSecMatchLimitAll).
    virtual OSStatus remove(const KeychainQuery& query) = 0;
    // The access-control value for these flags, or nothing when the backend has none to offer.
    virtual std::optional<KeychainValue> createAccessControl(Accessibility accessibility, std::uint32_t flags) = 0;
};

} // namespace parlomatic::identity
