#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

// What the client sends to the text service and the service accepts: paths, languages, genders and
// request bodies, written once for both sides.
namespace parlomatic::wire {

inline constexpr std::string_view translatePath = "/v1/translate";
inline constexpr std::string_view improvePath = "/v1/improve";
inline constexpr std::string_view userMetadataPath = "/v1/user/metadata";

// The languages, in the client's order (its `Language` raw values): the code the client sends as a
// target and the primary subtag by which the service knows the language.
struct WireLanguage {
    std::string_view code;
    std::string_view primarySubtag;
};
inline constexpr std::array<WireLanguage, 3> languages{{{"es-MX", "es"}, {"pt-BR", "pt"}, {"en-US", "en"}}};

// The position in `languages` of a tag ("en", "en-US", "pt_BR", "ES-mx") by its primary subtag,
// compared without regard to ASCII case as language tags are; nothing for another language.
std::optional<std::size_t> languageOfTag(std::string_view tag);

inline constexpr std::array<std::string_view, 2> genders{"masculine", "feminine"};
bool isGender(std::string_view value);

// POST translatePath: {"q", "target", optional "source" (a language tag), optional "gender"}.
struct TranslateRequest {
    std::string q;
    std::string target;
    std::optional<std::string> source;
    std::optional<std::string> gender;
};
// POST improvePath: {"q"}.
struct ImproveRequest {
    std::string q;
};
// PATCH userMetadataPath: {"gender"}.
struct UserMetadataRequest {
    std::string gender;
};

nlohmann::json encode(const TranslateRequest& request);
nlohmann::json encode(const ImproveRequest& request);
nlohmann::json encode(const UserMetadataRequest& request);

// Why a request body was refused: a sentence naming the member at fault, for the error answer.
struct RequestError {
    std::string message;
};

// Reading a body that is a JSON object: required members must be present, every member read must
// be a string; other members are ignored. Values are not checked here.
std::expected<TranslateRequest, RequestError> decodeTranslateRequest(const nlohmann::json& body);
std::expected<ImproveRequest, RequestError> decodeImproveRequest(const nlohmann::json& body);
std::expected<UserMetadataRequest, RequestError> decodeUserMetadataRequest(const nlohmann::json& body);

} // namespace parlomatic::wire
