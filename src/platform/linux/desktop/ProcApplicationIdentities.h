#pragma once

#include "selection/ApplicationIdentity.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace parlomatic::platform {

// Tells a process by its executable (/proc/<pid>/exe) and, where an installed desktop entry starts
// that executable, by the entry: its id and its name. The entries ($XDG_DATA_HOME and
// $XDG_DATA_DIRS, applications/) are read once, at the first question.
class ProcApplicationIdentities final : public selection::ApplicationIdentities {
public:
    std::optional<selection::ApplicationIdentity> identify(selection::Pid pid) override;

private:
    struct Entry {
        QString id;
        QString name;
        // Its command line has no arguments but field codes (%U): the program's own entry, not
        // one that opens a part of it ("mousepad --preferences").
        bool plain = false;
    };
    void readEntries();
    void readEntry(const std::filesystem::path& file, const QString& id);

    bool m_read = false;
    // By the executable's canonical path.
    std::map<std::string, Entry> m_entries;
};

} // namespace parlomatic::platform
