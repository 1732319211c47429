#include "common/ConfFile.h"

#include <fstream>
#include <mutex>
#include <sstream>
#include <system_error>

namespace parlomatic {
namespace {

std::string_view trim(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::mutex& bundleMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::filesystem::path& bundleOverride()
{
    static std::filesystem::path path;
    return path;
}

} // namespace

std::optional<ConfFile> ConfFile::load(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return parse(text.str());
}

ConfFile ConfFile::parse(std::string_view text)
{
    ConfFile file;
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#' || line.front() == ';' || line.front() == '[') {
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const std::string_view key = trim(line.substr(0, equals));
        std::string_view value = trim(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        if (!key.empty()) {
            file.m_values.insert_or_assign(std::string(key), std::string(value));
        }
    }
    return file;
}

std::optional<std::string> ConfFile::value(std::string_view key) const
{
    const auto it = m_values.find(key);
    if (it == m_values.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::filesystem::path bundleDirectory()
{
    {
        std::lock_guard lock(bundleMutex());
        if (!bundleOverride().empty()) {
            return bundleOverride();
        }
    }
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::filesystem::path("share") / "parlomatic";
    }
    return (executable.parent_path() / ".." / "share" / "parlomatic").lexically_normal();
}

void setBundleDirectory(std::filesystem::path directory)
{
    std::lock_guard lock(bundleMutex());
    bundleOverride() = std::move(directory);
}

} // namespace parlomatic
