#include "HttpHead.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace parlomatic::textservice {

bool equalsNoCase(std::string_view a, std::string_view b)
{
    return std::ranges::equal(a, b, [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

std::string_view trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") + 1 - first);
}

bool parseHead(std::string_view head, httplib::Request& request)
{
    // A head of the request line alone has no CRLF at all.
    const auto lineEnd = std::min(head.find("\r\n"), head.size());
    const std::string_view line = head.substr(0, lineEnd);
    const auto firstSpace = line.find(' ');
    const auto lastSpace = line.rfind(' ');
    if (firstSpace == std::string_view::npos || firstSpace == lastSpace || firstSpace == 0) {
        return false;
    }
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    request.version = line.substr(lastSpace + 1);
    if (!request.version.starts_with("HTTP/1.") || !request.target.starts_with('/')) {
        return false;
    }
    request.path = request.target.substr(0, request.target.find('?'));
    for (std::size_t at = lineEnd + 2; at < head.size();) {
        const auto end = std::min(head.find("\r\n", at), head.size());
        const std::string_view header = head.substr(at, end - at);
        const auto colon = header.find(':');
        if (colon == std::string_view::npos || colon == 0 || header.front() == ' ' || header.front() == '\t') {
            return false;
        }
        request.headers.emplace(std::string(header.substr(0, colon)), std::string(trimmed(header.substr(colon + 1))));
        at = end + 2;
    }
    return true;
}

} // namespace parlomatic::textservice
