#pragma once

#include "common/HttpClient.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <string_view>

namespace parlomatic::service {

// The configured service domain, asked for when a request is built (a deployment value is read at
// the first request, not when the client is made). Callable from any thread.
using ApiDomain = std::function<std::string()>;

// A request to the text service, built the one way every call builds it: URL "https://" + the
// configured domain (verbatim) + `path`; the compact JSON of `body`; headers "Authorization"
// ("Bearer " + the token, sent unchanged even when empty) and "Content-Type" ("application/json");
// a 60-second time-out. Text that is not valid UTF-8 is sent with U+FFFD in place of the bad bytes.
HttpRequest makeServiceRequest(std::string method, std::string_view apiDomain, std::string_view path,
                               const nlohmann::json& body, std::string_view accessToken);

// The textual description of a failed transfer, for log lines. Holds no header value and no body.
std::string describe(const HttpError& error);

} // namespace parlomatic::service
