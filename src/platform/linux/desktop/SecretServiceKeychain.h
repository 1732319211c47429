#pragma once

#include "identity/keychain/KeychainQuery.h"

namespace parlomatic::platform {

// The keychain over the desktop's Secret Service (D-Bus org.freedesktop.secrets).
//
// Items live in the default collection under a schema of two string attributes, "service" and
// "account"; values are stored as binary secrets. The keychain statuses are kept: adding an
// existing item gives errSecDuplicateItem (the caller then updates it in place), reading, updating
// or deleting a missing one gives errSecItemNotFound. Without a Secret Service (no session bus, no
// daemon and none the bus can start, no default collection) the calls give errSecNotAvailable, with
// a locked collection or item errSecInteractionNotAllowed, with a secret that cannot be decoded
// errSecDecode; a service that did not answer this time (a time-out, a daemon going away) gives
// errSecIO. Nothing is ever unlocked through a prompt, and nothing is ever written anywhere but the
// Secret Service.
// Thread-safe; every call blocks on D-Bus.
class SecretServiceKeychain final : public identity::KeychainBackend {
public:
    identity::OSStatus copyMatching(const identity::KeychainQuery& query, identity::KeychainResult& result) override;
    identity::OSStatus add(const identity::KeychainQuery& attributes) override;
    identity::OSStatus update(const identity::KeychainQuery& query, const identity::KeychainQuery& changes) override;
    identity::OSStatus remove(const identity::KeychainQuery& query) override;
    // The Secret Service has no access-control objects: always nothing.
    std::optional<identity::KeychainValue> createAccessControl(identity::Accessibility accessibility,
                                                               std::uint32_t flags) override;
};

} // namespace parlomatic::platform
