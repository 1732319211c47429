#include "wire/TextServiceRequests.h"

#include <algorithm>

namespace parlomatic::wire {

namespace {

using nlohmann::json;

char lowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Reads the string member `name` into `into`; an absent member is an error only when `required`.
bool readString(const json& body, const char* name, bool required, std::optional<std::string>& into,
                std::optional<RequestError>& error)
{
    const auto found = body.find(name);
    if (found == body.end()) {
        if (required) {
            error = RequestError{std::string("The member \"") + name + "\" is missing."};
        }
        return !required;
    }
    if (!found->is_string()) {
        error = RequestError{std::string("The member \"") + name + "\" must be a string."};
        return false;
    }
    into = found->get<std::string>();
    return true;
}

std::expected<std::string, RequestError> requiredString(const json& body, const char* name)
{
    std::optional<std::string> value;
    std::optional<RequestError> error;
    if (readString(body, name, true, value, error)) {
        return std::move(*value);
    }
    return std::unexpected(std::move(*error));
}

} // namespace

std::optional<std::size_t> languageOfTag(std::string_view tag)
{
    const std::string_view primary = tag.substr(0, tag.find_first_of("-_"));
    for (std::size_t i = 0; i < languages.size(); ++i) {
        if (std::ranges::equal(primary, languages[i].primarySubtag,
                               [](char a, char b) { return lowerAscii(a) == b; })) {
            return i;
        }
    }
    return std::nullopt;
}

bool isGender(std::string_view value)
{
    return std::ranges::find(genders, value) != genders.end();
}

json encode(const TranslateRequest& request)
{
    json body{{"q", request.q}, {"target", request.target}};
    if (request.source) {
        body["source"] = *request.source;
    }
    if (request.gender) {
        body["gender"] = *request.gender;
    }
    return body;
}

json encode(const ImproveRequest& request)
{
    return json{{"q", request.q}};
}

json encode(const UserMetadataRequest& request)
{
    return json{{"gender", request.gender}};
}

std::expected<TranslateRequest, RequestError> decodeTranslateRequest(const json& body)
{
    std::optional<std::string> q;
    std::optional<std::string> target;
    TranslateRequest request;
    std::optional<RequestError> error;
    if (readString(body, "q", true, q, error) && readString(body, "target", true, target, error) &&
        readString(body, "source", false, request.source, error) &&
        readString(body, "gender", false, request.gender, error)) {
        request.q = std::move(*q);
        request.target = std::move(*target);
        return request;
    }
    return std::unexpected(std::move(*error));
}

std::expected<ImproveRequest, RequestError> decodeImproveRequest(const json& body)
{
    auto q = requiredString(body, "q");
    if (!q) {
        return std::unexpected(std::move(q.error()));
    }
    return ImproveRequest{std::move(*q)};
}

std::expected<UserMetadataRequest, RequestError> decodeUserMetadataRequest(const json& body)
{
    auto gender = requiredString(body, "gender");
    if (!gender) {
        return std::unexpected(std::move(gender.error()));
    }
    return UserMetadataRequest{std::move(*gender)};
}

} // namespace parlomatic::wire
