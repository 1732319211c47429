#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>

namespace parlomatic::service {

// The user's preferred grammatical gender, passed to the text service with translations.
enum class Gender : std::uint8_t {
    masculine,
    feminine,
};

// The order of the preferred-gender menu.
inline constexpr std::array<Gender, 2> allGenders{Gender::masculine, Gender::feminine};

// "masculine", "feminine": the wire and token form.
std::string_view rawValue(Gender gender);
// "Masculine", "Feminine": what the user sees.
std::string_view description(Gender gender);
// Exact, case-sensitive match against the raw values.
std::optional<Gender> genderFromRawValue(std::string_view raw);

std::ostream& operator<<(std::ostream& out, Gender gender);

} // namespace parlomatic::service
