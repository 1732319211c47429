#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace parlomatic {

// A read-only deployment file of "key = value" lines. Lines starting with '#' or ';' are comments,
// "[section]" lines are ignored (keys are flat), white space around key and value is dropped and a
// value wrapped in double quotes loses the quotes. A repeated key keeps its last value.
class ConfFile {
public:
    // Nothing when the file cannot be read.
    static std::optional<ConfFile> load(const std::filesystem::path& path);
    static ConfFile parse(std::string_view text);

    std::optional<std::string> value(std::string_view key) const;

private:
    std::map<std::string, std::string, std::less<>> m_values;
};

// The folder that holds the deployment files: <directory of the executable>/../share/parlomatic,
// unless a test has set another one before the first use.
std::filesystem::path bundleDirectory();
void setBundleDirectory(std::filesystem::path directory);

} // namespace parlomatic
