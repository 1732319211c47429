#pragma once

#include <nlohmann/json.hpp>

#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace parlomatic::wire {

// The answers of the text service. Decoding ignores members it does not know; every member listed
// here is required. Encoding writes exactly these member names.

struct Translation {
    std::string translatedText;
    bool operator==(const Translation&) const = default;
};

struct TranslationsData {
    std::vector<Translation> translations;
    bool operator==(const TranslationsData&) const = default;
};

// {"data": {"translations": [{"translatedText": "..."}, ...]}}
struct ResponseData {
    TranslationsData data;
    bool operator==(const ResponseData&) const = default;
};

struct Improve {
    std::string improvedText;
    bool operator==(const Improve&) const = default;
};

struct ImproveData {
    std::vector<Improve> improvements;
    bool operator==(const ImproveData&) const = default;
};

// {"data": {"improvements": [{"improvedText": "..."}, ...]}}
struct ImproveDataResponse {
    ImproveData data;
    bool operator==(const ImproveDataResponse&) const = default;
};

// Why a body did not decode. The description names the member at fault and never quotes the body.
struct DecodingError {
    std::string description;
};

std::expected<ResponseData, DecodingError> decodeResponseData(std::string_view body);
std::expected<ImproveDataResponse, DecodingError> decodeImproveDataResponse(std::string_view body);

void to_json(nlohmann::json& json, const Translation& value);
void to_json(nlohmann::json& json, const TranslationsData& value);
void to_json(nlohmann::json& json, const ResponseData& value);
void to_json(nlohmann::json& json, const Improve& value);
void to_json(nlohmann::json& json, const ImproveData& value);
void to_json(nlohmann::json& json, const ImproveDataResponse& value);

} // namespace parlomatic::wire
