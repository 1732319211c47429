#pragma once

#include <httplib.h> // for its Request record only

#include <string_view>

namespace parlomatic::textservice {

// Compares ASCII text without regard to case (header names and tokens).
bool equalsNoCase(std::string_view a, std::string_view b);
// The text without spaces and tabs at either end.
std::string_view trimmed(std::string_view text);
// Fills the method, target, path, version and headers from a request head: the request line and
// the header lines, separated by CRLF, without the blank line that ends them. False when malformed.
bool parseHead(std::string_view head, httplib::Request& request);

} // namespace parlomatic::textservice
