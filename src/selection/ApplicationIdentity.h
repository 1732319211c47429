#pragma once

#include "selection/axUtils.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace parlomatic::selection {

// Who a process is, in terms that outlive it: what the user's per-application choices are stored by.
struct ApplicationIdentity {
    // The desktop entry's id ("org.example.Editor.desktop") where the process has one, else the
    // path of its executable. Never a pid.
    QString id;
    // What the user knows it by: the desktop entry's name; empty when there is none (the caller
    // then falls back on the accessibility name).
    QString name;

    bool operator==(const ApplicationIdentity&) const = default;
};

// Tells processes apart by what they run. Used on the accessibility layer's thread only.
class ApplicationIdentities {
public:
    virtual ~ApplicationIdentities() = default;
    // Nothing when the process cannot be told (gone, or not the user's to inspect).
    virtual std::optional<ApplicationIdentity> identify(Pid pid) = 0;
};

// The applications the watcher leaves alone. `isTurnedOff` runs on the accessibility layer's
// thread and must be safe there.
struct ApplicationFilter {
    std::shared_ptr<ApplicationIdentities> identities;
    std::function<bool(const QString& id)> isTurnedOff;
    // The same applications' ids, for a layer that steps on its own (GUI thread).
    std::function<QStringList()> turnedOffIds;
};

} // namespace parlomatic::selection
