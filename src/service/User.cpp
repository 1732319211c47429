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
    User user{std::move(*subject), std::move(*email), decoded->claim("pm_org_id").string(), std::nullopt};
    if (const auto gender = decoded->claim("pm_gender").string()) {
        user.gender = genderFromRawValue(*gender);
    }
    return user;
}

} // namespace parlomatic::service
