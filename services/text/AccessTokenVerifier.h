#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace parlomatic::textservice {

// Checks a Bearer access token. Gives the token's subject, or why the token is refused (a reason
// fit for a log line: it never quotes the token).
class AccessTokenVerifier {
public:
    virtual ~AccessTokenVerifier() = default;
    virtual std::expected<std::string, std::string> verify(std::string_view token) = 0;
};

} // namespace parlomatic::textservice
