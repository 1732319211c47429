#pragma once

#include "platform/linux/atspi/UnresponsiveProcesses.h"
#include "platform/linux/desktop/GlibHandles.h"
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
// a game) is looked for again only every missingRetry. Reports applications that start, leave, or
// activate a window; what it knows of a process that has ended is forgotten when one leaves.
class AtspiApplications {
public:
    static constexpr auto missingRetry = std::chrono::seconds(2);

    struct Callbacks {
        // An application registered.
        std::function<void()> launched;
        // An application left; `gone` tells which processes have ended.
        std::function<void(const std::function<bool(selection::Pid)>& gone)> left;
        // A top-level window of some application became active.
        std::function<void()> activated;
    };

    // The callbacks run on the GUI thread, from the GLib main loop. `ownPid` is never asked anything:
    // a call into our own process would wait for our own (busy) event loop.
    AtspiApplications(Callbacks callbacks, selection::Pid ownPid);
    ~AtspiApplications();
    AtspiApplications(const AtspiApplications&) = delete;
    AtspiApplications& operator=(const AtspiApplications&) = delete;

    // The application's root object (borrowed: valid until the next call), or null.
    AtspiAccessible* find(selection::Pid pid);
    // The application's accessible name, remembered once read.
    std::optional<QString> name(selection::Pid pid);
    // The application with an active top-level window (for a desktop without X11). Applications
    // that are slow to answer are left alone for a while, as elsewhere.
    std::optional<selection::Pid> activeApplication(UnresponsiveProcesses& unresponsive);

    // Whether the process has ended.
    static bool processGone(selection::Pid pid);
    // Whether anything is remembered of the process.
    bool remembers(selection::Pid pid) const
    {
        return m_applications.contains(pid) || m_missing.contains(pid) || m_names.contains(pid);
    }

private:
    void rescan();
    static void onEvent(AtspiEvent* event, void* self);

    Callbacks m_callbacks;
    selection::Pid m_ownPid;
    GObjectPtr<AtspiAccessible> m_desktop;
    GObjectPtr<AtspiEventListener> m_listener;
    std::map<selection::Pid, GObjectPtr<AtspiAccessible>> m_applications;
    std::map<selection::Pid, std::chrono::steady_clock::time_point> m_missing;
    std::map<selection::Pid, std::optional<QString>> m_names;
};

} // namespace parlomatic::platform
