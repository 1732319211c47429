#include "wire/TextServiceResponses.h"

namespace parlomatic::wire {

namespace {

using nlohmann::json;

template <typename T> using Decoded = std::expected<T, DecodingError>;

std::unexpected<DecodingError> failure(std::string description)
{
    return std::unexpected(DecodingError{std::move(description)});
}

// The member `name` of `object`, which must be an object itself; `where` names `object` for messages.
Decoded<const json*> member(const json& object, const std::string& where, const char* name)
{
    if (!object.is_object()) {
        return failure("expected an object at " + where);
    }
    const auto found = object.find(name);
    if (found == object.end()) {
        return failure("missing member \"" + std::string(name) + "\" at " + where);
    }
    return &*found;
}

Decoded<std::string> stringMember(const json& object, const std::string& where, const char* name)
{
    const auto value = member(object, where, name);
    if (!value) {
        return std::unexpected(value.error());
    }
    if (!(*value)->is_string()) {
        return failure("member \"" + std::string(name) + "\" at " + where + " is not a string");
    }
    return (*value)->get<std::string>();
}

// Decodes {"data": {<listName>: [{<textName>: string}, ...]}} into the texts, in order.
Decoded<std::vector<std::string>> decodeTextList(std::string_view body, const char* listName, const char* textName)
{
    const json root = json::parse(body, nullptr, false);
    if (root.is_discarded()) {
        return failure("the body is not valid JSON");
    }
    const auto data = member(root, "the top level", "data");
    if (!data) {
        return std::unexpected(data.error());
    }
    const auto list = member(**data, "\"data\"", listName);
    if (!list) {
        return std::unexpected(list.error());
    }
    if (!(*list)->is_array()) {
        return failure("member \"" + std::string(listName) + "\" is not an array");
    }
    std::vector<std::string> texts;
    texts.reserve((*list)->size());
    for (std::size_t i = 0; i < (*list)->size(); ++i) {
        const std::string where = "\"" + std::string(listName) + "\"[" + std::to_string(i) + "]";
        auto text = stringMember((**list)[i], where, textName);
        if (!text) {
            return std::unexpected(text.error());
        }
        texts.push_back(std::move(*text));
    }
    return texts;
}

} // namespace

std::expected<ResponseData, DecodingError> decodeResponseData(std::string_view body)
{
    auto texts = decodeTextList(body, "translations", "translatedText");
    if (!texts) {
        return std::unexpected(texts.error());
    }
    ResponseData response;
    for (auto& text : *texts) {
        response.data.translations.push_back(Translation{std::move(text)});
    }
    return response;
}

std::expected<ImproveDataResponse, DecodingError> decodeImproveDataResponse(std::string_view body)
{
    auto texts = decodeTextList(body, "improvements", "improvedText");
    if (!texts) {
        return std::unexpected(texts.error());
    }
    ImproveDataResponse response;
    for (auto& text : *texts) {
        response.data.improvements.push_back(Improve{std::move(text)});
    }
    return response;
}

void to_json(nlohmann::json& json, const Translation& value)
{
    json = nlohmann::json{{"translatedText", value.translatedText}};
}

void to_json(nlohmann::json& json, const TranslationsData& value)
{
    json = nlohmann::json{{"translations", value.translations}};
}

void to_json(nlohmann::json& json, const ResponseData& value)
{
    json = nlohmann::json{{"data", value.data}};
}

void to_json(nlohmann::json& json, const Improve& value)
{
    json = nlohmann::json{{"improvedText", value.improvedText}};
}

void to_json(nlohmann::json& json, const ImproveData& value)
{
    json = nlohmann::json{{"improvements", value.improvements}};
}

void to_json(nlohmann::json& json, const ImproveDataResponse& value)
{
    json = nlohmann::json{{"data", value.data}};
}

} // namespace parlomatic::wire
