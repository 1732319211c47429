#pragma once

#include "platform/linux/desktop/GlibHandles.h"
#include "selection/axUtils.h"

#include <atspi/atspi.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

namespace parlomatic::platform {

// Which object has the keyboard focus in each application. AT-SPI has no focused-element query,
// so this is fed by "object:state-changed:focused" events (delivered through the GLib main loop
// that Qt runs) and seeded from the application's tree when the front process changes. The tree is
// only ever walked within bounds: no query whose cost grows with the application's document (a
// Collection match over a spreadsheet's window makes the application create every cell of the sheet
// and stop taking keystrokes for minutes).
class AtspiFocusTracker {
public:
    // Objects visited at most by one seeding walk, how deep it goes, and the most children of a
    // container it enters (a longer list holds rows, not the text in front of the user).
    static constexpr int walkLimit = 1000;
    static constexpr int depthLimit = 32;
    static constexpr int crowdedLimit = 256;
    static constexpr int managedLimit = 64;
    // Time one seeding may take at most (an application that stops answering mid-walk).
    static constexpr auto seedBudget = std::chrono::milliseconds(500);
    // Time-out of each call while seeding: an application that takes longer (building its tree) is
    // asked again later instead of holding the step up. libatspi then pings it once more, so a
    // seeding waits twice this at most per call.
    static constexpr auto seedCallTimeout = std::chrono::milliseconds(40);
    // While no object known to the tracker holds the focus, the tree is asked again at this pace.
    static constexpr auto reseedInterval = std::chrono::seconds(1);
    // How often, and how far, the neighbourhood of a focused container that manages its descendants
    // (a sheet) is searched for a focused text (the editor of a cell).
    static constexpr auto besideInterval = std::chrono::milliseconds(400);
    static constexpr int besideLimit = 24;
    // The same after a seeding that found nothing.
    static constexpr auto fruitlessReseedInterval = std::chrono::seconds(5);
    // Objects of an embedded page searched at most for a focused text or a selection.
    static constexpr int pageLimit = 200;

    AtspiFocusTracker();
    ~AtspiFocusTracker();
    AtspiFocusTracker(const AtspiFocusTracker&) = delete;
    AtspiFocusTracker& operator=(const AtspiFocusTracker&) = delete;

    // The focused object of the application (its root object and process). Seeds from the tree
    // when `pid` differs from the previous call's (unless the object announced focused in that
    // process still says FOCUSED), when the object last known focused lost the
    // focus and nothing gained it since (that object is kept when the seeding finds no other: the
    // application may only have lost the keyboard to another program's menu or panel), and while
    // the object known does not say FOCUSED (a document replaced without a focus event, a tree not
    // built yet at the first seeding) every reseedInterval, or fruitlessReseedInterval after a
    // seeding that found nothing. That state is asked once per reseedInterval; a steady front
    // process costs no call in between. In a window holding another process's page (GNOME Web), while
    // its own focus is no focused text, the page is searched every besideInterval (at most pageLimit
    // objects) for a focused text or one holding a selection, and that object is answered.
    AtspiAccessible* focusedIn(AtspiAccessible* application, selection::Pid pid);

    // The process whose object received the keyboard focus last (the front application on a
    // desktop without X11), or nothing before the first focus event.
    std::optional<selection::Pid> lastFocusedProcess() const { return m_lastFocusedPid; }

    // Counts seeding passes (tests and the inspector show it).
    int seedCount() const { return m_seedCount; }

    // Runs on every focus change, gained or lost.
    void setOnChange(std::function<void()> onChange) { m_onChange = std::move(onChange); }
    // Forgets the processes for which `gone` holds.
    void prune(const std::function<bool(selection::Pid)>& gone);
    // Whether anything is remembered of the process.
    bool remembers(selection::Pid pid) const
    {
        return m_focused.contains(pid) || m_hosts.contains(pid) || m_pages.contains(pid) || m_lost.contains(pid) ||
               m_fruitless.contains(pid) || m_met.contains(pid) || m_lastFocusedPid == pid || m_lastPid == pid;
    }

    // Finds the focused object below `application` by a bounded walk of its active top-level, then of
    // the others: menus left out, tool bars last, no table or tree entered, nor a container with
    // more than crowdedLimit children (managedLimit where it manages its descendants). Prefers
    // editable text, then any text. Null when none is found.
    // Each call gets `callTimeout`; `cutShort` is set when time ran out before every top-level was
    // searched. `pages` receives the trees met below state-less nodes (another process's, embedded in
    // the window).
    static GObjectPtr<AtspiAccessible> seed(AtspiAccessible* application, std::chrono::milliseconds callTimeout,
                                            bool& cutShort, std::vector<GObjectPtr<AtspiAccessible>>& pages);

    // One walk of a top-level: the object found, how many were visited, and whether a bound was met.
    struct Walk {
        GObjectPtr<AtspiAccessible> focused;
        int visited = 0;
        bool bounded = false;
        std::vector<GObjectPtr<AtspiAccessible>> pages;
    };
    static Walk walkFocused(AtspiAccessible* topLevel, std::chrono::steady_clock::time_point deadline,
                            int limit = walkLimit);

private:
    static void onFocusEvent(AtspiEvent* event, void* self);
    AtspiAccessible* inPages(selection::Pid host, std::chrono::steady_clock::time_point now);

    GObjectPtr<AtspiEventListener> m_listener;
    std::map<selection::Pid, GObjectPtr<AtspiAccessible>> m_focused;
    // Processes whose tree hangs in another's window (WebKit's web process), and that host: their
    // focus events count for the host, the process whose window is in front.
    std::map<selection::Pid, selection::Pid> m_hosts;
    // The embedded pages met in each host's window, and the object last found in them (WebKit marks
    // nothing focused after a click on page text, and its web process announced nothing to a listener
    // registered after it started).
    std::map<selection::Pid, std::vector<GObjectPtr<AtspiAccessible>>> m_pages;
    GObjectPtr<AtspiAccessible> m_inPage;
    selection::Pid m_inPageHost = 0;
    std::chrono::steady_clock::time_point m_pageCheckedAt;
    // Processes whose focused object lost the focus without another one announcing it: their tree
    // is asked again on the next call.
    std::set<selection::Pid> m_lost;
    // Processes whose last seeding found nothing: walked at the slower pace until they announce a
    // focus change.
    std::set<selection::Pid> m_fruitless;
    // Processes seeded at least once.
    std::set<selection::Pid> m_met;
    std::chrono::milliseconds m_seedCallTimeout = seedCallTimeout;
    std::function<void()> m_onChange;
    selection::Pid m_lastPid = 0;
    std::chrono::steady_clock::time_point m_seededAt;
    std::chrono::steady_clock::time_point m_checkedAt;
    std::chrono::steady_clock::time_point m_besideCheckedAt;
    std::optional<selection::Pid> m_lastFocusedPid;
    int m_seedCount = 0;
};

} // namespace parlomatic::platform
