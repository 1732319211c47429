#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace parlomatic::identity {

// Every byte outside the unreserved set of RFC 3986 as "%XX" ("+" too, so it never reads as a space).
std::string percentEncode(std::string_view text);
// Nothing when an escape is malformed. "+" stays "+".
std::optional<std::string> percentDecode(std::string_view text);

// The parameters of a callback URL as a JSON object of texts: the fragment's "name=value" pairs,
// then the query items over them (a query item wins), form-decoded ("+" is a space). Nothing when the URL has no scheme
// or holds a malformed escape.
std::optional<nlohmann::json> callbackValues(std::string_view url);

// The parts of an absolute URL that the loopback redirect needs.
struct URLParts {
    std::string scheme; // lower case
    std::string host;
    std::optional<int> port;
    std::string path; // "/" when empty
    // Where the authority's host ends in the text, for rewriting the port.
    std::size_t authorityEnd = 0;
    std::size_t hostEnd = 0;
};
std::optional<URLParts> parseURL(std::string_view url);

} // namespace parlomatic::identity
