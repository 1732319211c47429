#pragma once

#include <optional>
#include <string>

namespace parlomatic::textservice {

// Where the preferred gender of each user (by the subject of their access token) is kept, for the
// identity service to put in its ID tokens ("pm_gender"): a file on one machine (GenderStore), a
// database table for a team's instances (PgGenderStore). Thread-safe.
class PreferredGenders {
public:
    virtual ~PreferredGenders() = default;

    // False when it could not be stored; the earlier value then stays.
    virtual bool set(const std::string& subject, const std::string& gender) = 0;
    virtual std::optional<std::string> get(const std::string& subject) const = 0;
};

} // namespace parlomatic::textservice
