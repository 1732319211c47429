// libFuzzer target: the request head a client of the text service sends, before any token is
// checked. Whatever the bytes, the parse either fails or gives a request line the server can use.
#include "FuzzTarget.h"
#include "HttpHead.h"

namespace {

void fuzzOne(std::string_view head)
{
    httplib::Request request;
    if (parlomatic::textservice::parseHead(head, request)) {
        require(!request.method.empty() && request.target.starts_with('/') && request.version.starts_with("HTTP/1.") &&
                request.target.starts_with(request.path));
        for (const auto& [name, value] : request.headers) {
            require(!name.empty() && parlomatic::textservice::trimmed(value) == value);
        }
    }
}

} // namespace
