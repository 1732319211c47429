// libFuzzer target: the request head a client of the text service sends, before any token is
// checked. Whatever the bytes, the parse either fails or gives a request line the server can use.
#include "HttpHead.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view head(reinterpret_cast<const char*>(data), size);
    httplib::Request request;
    if (parlomatic::textservice::parseHead(head, request)) {
        if (request.method.empty() || !request.target.starts_with('/') || !request.version.starts_with("HTTP/1.") ||
            !request.target.starts_with(request.path)) {
            std::abort();
        }
        for (const auto& [name, value] : request.headers) {
            if (name.empty() || parlomatic::textservice::trimmed(value) != value) {
                std::abort();
            }
        }
    }
    return 0;
}
