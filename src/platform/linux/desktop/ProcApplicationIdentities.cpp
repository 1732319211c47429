#include "platform/linux/desktop/ProcApplicationIdentities.h"

#include "platform/linux/desktop/DesktopEntry.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <system_error>

namespace parlomatic::platform {
namespace {

namespace fs = std::filesystem;

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// Where desktop entries live, the one that wins a clash of ids first.
std::vector<fs::path> applicationDirectories()
{
    std::vector<fs::path> directories;
    std::string dataHome = environment("XDG_DATA_HOME");
    if (dataHome.empty() && !environment("HOME").empty()) {
        dataHome = environment("HOME") + "/.local/share";
    }
    if (!dataHome.empty()) {
        directories.push_back(fs::path(dataHome) / "applications");
    }
    std::string dataDirs = environment("XDG_DATA_DIRS");
    if (dataDirs.empty()) {
        dataDirs = "/usr/local/share:/usr/share";
    }
    for (const QString& dir : QString::fromStdString(dataDirs).split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        directories.push_back(fs::path(dir.toStdString()) / "applications");
    }
    return directories;
}

// The canonical path of the program a command line starts, looked up in $PATH when it has no slash.
std::optional<std::string> programPath(const QString& program)
{
    std::error_code error;
    if (program.contains(QLatin1Char('/'))) {
        const fs::path path = fs::canonical(program.toStdString(), error);
        return error ? std::nullopt : std::optional(path.string());
    }
    for (const QString& dir : QString::fromStdString(environment("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const fs::path path = fs::canonical(fs::path(dir.toStdString()) / program.toStdString(), error);
        if (!error && fs::is_regular_file(path, error)) {
            return path.string();
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<selection::ApplicationIdentity> ProcApplicationIdentities::identify(selection::Pid pid)
{
    std::error_code error;
    std::string executable = fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", error).string();
    if (error || executable.empty()) {
        return std::nullopt;
    }
    // A program replaced by an upgrade while it runs.
    constexpr std::string_view deleted = " (deleted)";
    if (executable.ends_with(deleted)) {
        executable.resize(executable.size() - deleted.size());
    }
    if (!m_read) {
        readEntries();
        m_read = true;
    }
    if (const auto found = m_entries.find(executable); found != m_entries.end()) {
        return selection::ApplicationIdentity{.id = found->second.id, .name = found->second.name};
    }
    return selection::ApplicationIdentity{.id = QString::fromStdString(executable), .name = {}};
}

void ProcApplicationIdentities::readEntries()
{
    std::set<QString> seen;
    for (const fs::path& directory : applicationDirectories()) {
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(directory, error); !error && it != fs::end(it);
             it.increment(error)) {
            if (it->path().extension() != ".desktop") {
                continue;
            }
            // Entries in subfolders have ids with dashes for the slashes.
            QString id = QString::fromStdString(fs::relative(it->path(), directory, error).string());
            id.replace(QLatin1Char('/'), QLatin1Char('-'));
            if (seen.insert(id).second) {
                readEntry(it->path(), id);
            }
        }
    }
}

void ProcApplicationIdentities::readEntry(const fs::path& file, const QString& id)
{
    QFile in(QString::fromStdString(file.string()));
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return;
    }
    const DesktopEntry entry = DesktopEntry::parse(in.readAll());
    if (entry.hidden || entry.command.isEmpty()) {
        return;
    }
    const std::optional<std::string> program = programPath(entry.command.front());
    if (!program) {
        return;
    }
    const bool plain = std::ranges::all_of(entry.command.begin() + 1, entry.command.end(), [](const QString& word) {
        return word.size() == 2 && word.front() == QLatin1Char('%');
    });
    Entry& known = m_entries[*program];
    if (known.id.isEmpty() || (plain && !known.plain)) {
        known = Entry{.id = id, .name = entry.name.isEmpty() ? id : entry.name, .plain = plain};
    }
}

} // namespace parlomatic::platform
