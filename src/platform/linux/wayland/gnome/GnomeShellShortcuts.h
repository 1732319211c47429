#pragma once

#include "selection/GlobalShortcuts.h"

#include <QDBusServiceWatcher>
#include <QObject>

class QDBusPendingCallWatcher;

namespace parlomatic::platform {

// GNOME Shell grants global keys to no program, but to its extensions: ours holds them
// (BindShortcuts), tells us of each press (ShortcutActivated) and lets them go when we leave the bus.
// The shell disables its extensions while the screen is locked: when the extension comes back the
// keys are bound anew. Which keys the shell already holds is learnt from its answer (setRefused).
class GnomeShellShortcuts final : public QObject, public selection::GlobalShortcuts {
    Q_OBJECT
public:
    // Whether the extension is on the session bus (GNOME Shell loads a new one at the next log-in).
    static bool available();

    GnomeShellShortcuts();
    ~GnomeShellShortcuts() override;
    GnomeShellShortcuts(const GnomeShellShortcuts&) = delete;
    GnomeShellShortcuts& operator=(const GnomeShellShortcuts&) = delete;

    std::vector<Binding> bind(const std::vector<Binding>& bindings) override;
    void setActivated(Activated activated) override { m_activated = std::move(activated); }
    void setRefused(const Refused& refused) override { m_refused = refused; }
    // Whether the extension has answered the last bind() (refusing some keys, perhaps).
    bool answeredLast() const { return m_answered == m_sent; }

private slots:
    void pressed(const QString& name);

private:
    void send();
    void answered(QDBusPendingCallWatcher* call, unsigned long sent);

    std::vector<Binding> m_bindings;
    Activated m_activated;
    Refused m_refused;
    QDBusServiceWatcher m_extension;
    // Only the answer to the last request counts.
    unsigned long m_sent = 0;
    unsigned long m_answered = 0;
};

} // namespace parlomatic::platform
