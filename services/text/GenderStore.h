#pragma once

#include "PreferredGenders.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

namespace parlomatic::textservice {

// The preferred gender of each user, by the subject of their access token, in one small JSON file
// ({"<subject>": "masculine" | "feminine", ...}) that the identity service reads when it issues an
// ID token ("pm_gender"). Each change rewrites the file through a temporary file and a rename, so
// a reader never sees half a file; the file is readable by its owner only. Thread-safe within the
// process.
class GenderStore final : public PreferredGenders {
public:
    explicit GenderStore(std::filesystem::path file);

    // False when the file could not be written; the file then keeps its earlier content.
    bool set(const std::string& subject, const std::string& gender) override;
    std::optional<std::string> get(const std::string& subject) const override;

    const std::filesystem::path& file() const { return m_file; }

private:
    std::filesystem::path m_file;
    mutable std::mutex m_mutex;
};

} // namespace parlomatic::textservice
