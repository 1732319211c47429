// libFuzzer target: the sign-in's callback URL, from the loopback redirect or handed over by a
// later launch on our URL scheme. Whatever the text, the URL's parts lie inside it, its values are
// texts that the error messages can print, and parameters encoded by us read back unchanged.
#include "FuzzTarget.h"
#include "identity/AuthenticationError.h"
#include "identity/URLText.h"

#include <map>
#include <string>

namespace {

using namespace parlomatic::identity;

void checkUrl(const std::string& url)
{
    if (const auto parts = parseURL(url)) {
        require(parts->hostEnd <= parts->authorityEnd && parts->authorityEnd <= url.size());
        require(!parts->port || (*parts->port >= 0 && *parts->port <= 65535));
        require(!parts->path.empty());
        // What the loopback redirect does with a URL without a port.
        (void)(url.substr(0, parts->hostEnd) + ":1" + url.substr(parts->authorityEnd));
    }
    const auto values = callbackValues(url);
    if (!values) {
        return;
    }
    require(values->is_object());
    for (const auto& [name, value] : values->items()) {
        require(value.is_string());
    }
    const AuthenticationError error(*values, 0);
    (void)error.code();
    (void)error.debugDescription();
    (void)printJson(*values); // what a sign-in without a code reports
}

// The input's NUL-separated pieces as name, value, name, value..., sent the way an identity
// service would, must come back as they were (the last value of a name wins).
void checkRoundTrip(std::string_view input)
{
    std::map<std::string, std::string> sent;
    std::string url = "app.parlomatic.parlomatic:/callback?";
    while (!input.empty()) {
        const auto nameEnd = input.find('\0');
        const auto name = input.substr(0, nameEnd);
        input = nameEnd == std::string_view::npos ? std::string_view() : input.substr(nameEnd + 1);
        const auto valueEnd = input.find('\0');
        const auto value = input.substr(0, valueEnd);
        input = valueEnd == std::string_view::npos ? std::string_view() : input.substr(valueEnd + 1);
        require(percentDecode(percentEncode(name)) == std::string(name));
        url += percentEncode(name) + "=" + percentEncode(value) + "&";
        sent[std::string(name)] = std::string(value);
    }
    const auto values = callbackValues(url);
    if (!values) {
        require(false);
        return;
    }
    require(values->size() == sent.size());
    for (const auto& [name, value] : sent) {
        require(values->contains(name) && (*values)[name].get<std::string>() == value);
    }
}

void fuzzOne(std::string_view input)
{
    checkUrl(std::string(input));
    checkRoundTrip(input);
}

} // namespace
