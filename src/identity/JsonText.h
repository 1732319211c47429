#pragma once

#include <nlohmann/json.hpp>

#include <expected>
#include <optional>
#include <string>

namespace parlomatic::identity {

// A text member of a service response: absent when missing or null; a failure naming the member
// when it holds anything other than text.
std::expected<std::optional<std::string>, std::string> optionalText(const nlohmann::json& object, const char* key);

} // namespace parlomatic::identity
