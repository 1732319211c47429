#pragma once

#include "identity/jwt/JWT.h"

#include <string>
#include <string_view>

namespace parlomatic::testing {

using jwt::base64UrlEncode;

// An unsigned token "header.body.signature" from two JSON texts.
inline std::string makeToken(std::string_view headerJson, std::string_view bodyJson, std::string_view signature = "sig")
{
    return base64UrlEncode(headerJson) + "." + base64UrlEncode(bodyJson) + "." + std::string(signature);
}

} // namespace parlomatic::testing
