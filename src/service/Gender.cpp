#include "service/Gender.h"

#include "wire/TextServiceRequests.h"

namespace parlomatic::service {

std::string_view rawValue(Gender gender)
{
    return wire::genders[gender == Gender::masculine ? 0 : 1];
}

std::string_view description(Gender gender)
{
    return gender == Gender::masculine ? "Masculine" : "Feminine";
}

std::optional<Gender> genderFromRawValue(std::string_view raw)
{
    for (const Gender gender : allGenders) {
        if (rawValue(gender) == raw) {
            return gender;
        }
    }
    return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, Gender gender)
{
    return out << description(gender);
}

} // namespace parlomatic::service
