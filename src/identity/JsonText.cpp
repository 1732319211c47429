#include "identity/JsonText.h"

namespace parlomatic::identity {

std::expected<std::optional<std::string>, std::string> optionalText(const nlohmann::json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::optional<std::string>{};
    }
    if (!it->is_string()) {
        return std::unexpected(std::string("\"") + key + "\" is not a string");
    }
    return std::optional<std::string>(it->get<std::string>());
}

} // namespace parlomatic::identity
