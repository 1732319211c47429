#include "GenderStore.h"

#include "common/UniqueResource.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace parlomatic::textservice {
namespace {

nlohmann::json readAll(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    // A damaged file is started afresh rather than refusing every change from now on.
    return json.is_object() ? json : nlohmann::json::object();
}

} // namespace

GenderStore::GenderStore(std::filesystem::path file) : m_file(std::move(file)) {}

bool GenderStore::set(const std::string& subject, const std::string& gender)
{
    std::lock_guard lock(m_mutex);
    auto all = readAll(m_file);
    all[subject] = gender;
    std::error_code error;
    std::filesystem::create_directories(m_file.parent_path(), error);
    const auto temporary = m_file.string() + ".tmp";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd) {
        return false;
    }
    const std::string text = all.dump(2) + "\n";
    const bool written =
        ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd.get()) == 0;
    fd.reset();
    if (!written || std::rename(temporary.c_str(), m_file.c_str()) != 0) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

std::optional<std::string> GenderStore::get(const std::string& subject) const
{
    std::lock_guard lock(m_mutex);
    const auto all = readAll(m_file);
    const auto found = all.find(subject);
    if (found == all.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

} // namespace parlomatic::textservice
