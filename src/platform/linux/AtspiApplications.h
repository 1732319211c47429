#pragma once

#include "platform/linux/GlibHandles.h"
#include "platform/linux/UnresponsiveProcesses.h"
#include "selection/axUtils.h"

#include <QString>

#include <atspi/atspi.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace parlomatic::platform {

// The applications registered on the accessibility bus, by process. The registry's list is read
// again only when a process is not found, and a process without an accessibility tree (a terminal,
// a game) is looked for again only every missingRetry. Reports applications that start.
class AtspiApplications {
public:
    static constexpr auto missingRetry = std::chrono::seconds(2);

    // `onLaunch` runs (on the GUI thread, from the GLib main loop) when an application registers.
    explicit AtspiApplications(std::function<void()> onLaunch);
    ~AtspiApplications();
    AtspiApplications(const AtspiApplications&) = delete;
    AtspiApplications& operator=(const AtspiApplications&) = delete;

    // The application's root object (borrowed: valid until the next call), or null.
    AtspiAccessible* find(Pid pid);
    // The application's accessible name, remembered once read.
    std::optional<QString> name(Pid pid);
    // The application with an active top-level window (for a desktop without X11). Applications
    // that are slow to answer are left alone for a while, as elsewhere.
    std::optional<Pid> activeApplication(UnresponsiveProcesses& unresponsive);

private:
    void rescan();
    static void onEvent(AtspiEvent* event, void* self);

    std::function<void()> m_onLaunch;
    GObjectPtr<AtspiAccessible> m_desktop;
    GObjectPtr<AtspiEventListener> m_listener;
    std::map<Pid, GObjectPtr<AtspiAccessible>> m_applications;
    std::map<Pid, std::chrono::steady_clock::time_point> m_missing;
    std::map<Pid, std::optional<QString>> m_names;
};

} // namespace parlomatic::platform
