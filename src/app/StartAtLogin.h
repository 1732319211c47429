#pragma once

#include <QString>

class QMenu;

namespace parlomatic::app {

// Starting Parlomatic at log-in through the desktop's autostart folder (XDG autostart):
// $XDG_CONFIG_HOME/autostart/parlomatic.desktop. The file is the only state, so removing it by
// hand turns the start off.
class StartAtLogin {
public:
    static constexpr const char* title = "Start at Login";

    // The entry's path; `executable` is what it starts (this program's own path by default).
    explicit StartAtLogin(QString path = defaultPath(), QString executable = {});

    static QString defaultPath();
    bool isEnabled() const;
    // Writes or removes the entry; false (and one log line) when that failed.
    bool setEnabled(bool enabled);

    // Adds the check item to `menu`: checked while the entry exists, read again each time the
    // menu opens.
    static void addItem(QMenu& menu);

private:
    QString m_path;
    QString m_executable;
};

} // namespace parlomatic::app
