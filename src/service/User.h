#pragma once

#include "service/Gender.h"

#include <optional>
#include <string>
#include <string_view>

namespace parlomatic::service {

// The signed-in person, as read from the ID token of the credentials.
struct User {
    std::string id;                   // the token's subject
    std::string email;                // the "email" claim
    std::optional<std::string> orgId; // the "pm_org_id" claim when it is a string
    std::optional<Gender> gender;     // the "pm_gender" claim when it names a Gender; changed by the user

    bool operator==(const User&) const = default;

    // Nothing when the token does not decode, has no subject, or has no string "email". The
    // signature is not checked here.
    static std::optional<User> fromIdToken(std::string_view idToken);
};

} // namespace parlomatic::service
