#include "service/User.h"

#include "identity/jwt/JWT.h"

namespace parlomatic::service {

std::optional<User> User::fromIdToken(std::string_view idToken)
{
    const auto decoded = jwt::decode(idToken);
    if (!decoded) {
        return std::nullopt;
    }
    auto subject = decoded->subject();
    auto email = decoded->claim("email").string();
    if (!subject || !email) {
        return std::nullopt;
    }
    User user{.id = std::move(*subject),
              .email = std::move(*email),
              .orgId = decoded->claim("pm_org_id").string(),
              .gender = std::nullopt};
    if (const auto gender = decoded->claim("pm_gender").string()) {
        user.gender = genderFromRawValue(*gender);
    }
    return user;
}

} // namespace parlomatic::service
