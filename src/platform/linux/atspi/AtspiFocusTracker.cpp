#include "platform/linux/atspi/AtspiFocusTracker.h"

#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/atspi/AtspiElement.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <ranges>
#include <vector>

namespace parlomatic::platform {

namespace {

constexpr const char* focusEvent = "object:state-changed:focused";
constexpr int maxTopLevels = 64;
constexpr auto slowAnswer = std::chrono::milliseconds(250);

// The time-out of each call while seeding, in place of the usual one.
class ScopedCallTimeout {
public:
    explicit ScopedCallTimeout(std::chrono::milliseconds timeout)
    {
        const int ms = int(timeout.count());
        atspi_set_timeout(ms, ms);
    }
    ~ScopedCallTimeout() { atspi_set_timeout(AtspiAccessibility::callTimeoutMs, AtspiAccessibility::callTimeoutMs); }
    ScopedCallTimeout(const ScopedCallTimeout&) = delete;
    ScopedCallTimeout& operator=(const ScopedCallTimeout&) = delete;
};

int childCount(AtspiAccessible* accessible)
{
    ErrorSlot error;
    const int count = atspi_accessible_get_child_count(accessible, error.out());
    return error ? 0 : count;
}

GObjectPtr<AtspiAccessible> childAt(AtspiAccessible* accessible, int index)
{
    ErrorSlot error;
    GObjectPtr<AtspiAccessible> child(atspi_accessible_get_child_at_index(accessible, index, error.out()));
    return error ? nullptr : std::move(child);
}

// 2: editable text, 1: other text, 0: anything else.
int preference(AtspiAccessible* accessible)
{
    const GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    if (!text) {
        return 0;
    }
    return hasState(accessible, ATSPI_STATE_EDITABLE) ? 2 : 1;
}

void keepBest(GObjectPtr<AtspiAccessible>& best, int& bestScore, AtspiAccessible* candidate)
{
    const int score = preference(candidate);
    if (!best || score > bestScore) {
        best = refObject(candidate);
        bestScore = score;
    }
}

// Tables and trees answer for every row (a spreadsheet's sheet for some two billion cells): their
// children are never walked. Their focused child announces itself.
bool tableLike(AtspiAccessible* node)
{
    ErrorSlot error;
    switch (atspi_accessible_get_role(node, error.out())) {
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE:
    case ATSPI_ROLE_TREE:
        return true;
    default:
        return false;
    }
}

// Menus hold the focus only while open, and then announce it; tool bars and status bars seldom
// hold it. Menu bars are left out, the others walked after everything else.
enum class Chrome : std::uint8_t { none, skipped, last };
Chrome chromeOf(AtspiAccessible* node)
{
    ErrorSlot error;
    switch (atspi_accessible_get_role(node, error.out())) {
    case ATSPI_ROLE_MENU_BAR:
    case ATSPI_ROLE_MENU:
        return Chrome::skipped;
    case ATSPI_ROLE_TOOL_BAR:
    case ATSPI_ROLE_STATUS_BAR:
        return Chrome::last;
    default:
        return Chrome::none;
    }
}

} // namespace

AtspiFocusTracker::Walk AtspiFocusTracker::walkFocused(AtspiAccessible* topLevel,
                                                       std::chrono::steady_clock::time_point deadline, int limit)
{
    Walk walk;
    int bestScore = -1;
    bool showingKnown = false;
    struct Pending {
        GObjectPtr<AtspiAccessible> node;
        int depth = 0;
        // Below a node with no state at all: another process's tree (WebKit's page below its
        // socket), whose nodes say neither SHOWING nor VISIBLE.
        bool embedded = false;
    };
    std::vector<Pending> stack;
    stack.push_back({refObject(topLevel), 0});
    while (!stack.empty()) {
        if (walk.visited >= limit || std::chrono::steady_clock::now() >= deadline) {
            walk.bounded = true;
            break;
        }
        Pending pending = std::move(stack.back());
        stack.pop_back();
        AtspiAccessible* node = pending.node.get();
        ++walk.visited;
        const StateSetPtr states(atspi_accessible_get_state_set(node));
        if (!states) {
            continue;
        }
        if (atspi_state_set_contains(states.get(), ATSPI_STATE_FOCUSED)) {
            keepBest(walk.focused, bestScore, node);
            if (bestScore == 2) {
                break;
            }
        }
        // Hidden subtrees cannot hold the focus. GTK 4 never marks anything below the top-level
        // SHOWING, only VISIBLE: until a node says SHOWING, VISIBLE is taken to mean shown. A node
        // with no state at all stands for another process's tree (WebKit's page below its socket):
        // it and everything below it are walked through.
        const GArrayPtr all(atspi_state_set_get_states(states.get()));
        const bool stateless = all && all->len == 0;
        const bool showing = atspi_state_set_contains(states.get(), ATSPI_STATE_SHOWING) != FALSE;
        showingKnown = showingKnown || (showing && node != topLevel);
        const bool embedded = pending.embedded || stateless;
        if (stateless && !pending.embedded && walk.pages.size() < 8) {
            // The socket's child belongs to the embedded process.
            if (auto page = childAt(node, 0)) {
                walk.pages.push_back(std::move(page));
            }
        }
        const bool shown = showing || embedded ||
                           (!showingKnown && atspi_state_set_contains(states.get(), ATSPI_STATE_VISIBLE) != FALSE);
        if (node != topLevel && !shown) {
            continue;
        }
        if (tableLike(node) || pending.depth >= depthLimit) {
            walk.bounded = true;
            continue;
        }
        // A container that manages its descendants makes each child on demand (a Writer document
        // its paragraphs in view): entered only when it holds few.
        const bool managed = atspi_state_set_contains(states.get(), ATSPI_STATE_MANAGES_DESCENDANTS) != FALSE;
        const int count = childCount(node);
        if (count > (managed ? managedLimit : crowdedLimit)) {
            walk.bounded = true;
            continue;
        }
        // Pushed in reverse, so the first child is walked first; the chrome goes below the rest.
        std::vector<GObjectPtr<AtspiAccessible>> later;
        const std::size_t firstOfNode = stack.size();
        for (int i = count - 1; i >= 0; --i) {
            auto child = childAt(node, i);
            if (!child) {
                continue;
            }
            switch (chromeOf(child.get())) {
            case Chrome::skipped:
                break;
            case Chrome::last:
                later.push_back(std::move(child));
                break;
            case Chrome::none:
                stack.push_back({std::move(child), pending.depth + 1, embedded});
                break;
            }
        }
        // Inserted under this node's other children: walked once they are done.
        for (auto& child : later | std::views::reverse) {
            stack.insert(stack.begin() + std::ptrdiff_t(firstOfNode),
                         Pending{.node = std::move(child), .depth = pending.depth + 1, .embedded = embedded});
        }
    }
    return walk;
}

AtspiFocusTracker::AtspiFocusTracker()
{
    m_listener.reset(atspi_event_listener_new(&AtspiFocusTracker::onFocusEvent, this, nullptr));
    ErrorSlot error;
    if (!atspi_event_listener_register(m_listener.get(), focusEvent, error.out())) {
        m_listener.reset();
    }
}

AtspiFocusTracker::~AtspiFocusTracker()
{
    if (m_listener) {
        ErrorSlot error;
        atspi_event_listener_deregister(m_listener.get(), focusEvent, error.out());
    }
}

void AtspiFocusTracker::onFocusEvent(AtspiEvent* rawEvent, void* self)
{
    const EventPtr event(rawEvent);
    auto* tracker = static_cast<AtspiFocusTracker*>(self);
    if (event->source == nullptr) {
        return;
    }
    std::optional<selection::Pid> pid = readProcessId(event->source);
    if (!pid) {
        return;
    }
    // A process embedded in another's window (WebKit's web process) stands for its host.
    if (const auto host = tracker->m_hosts.find(*pid); host != tracker->m_hosts.end()) {
        pid = host->second;
    }
    tracker->m_fruitless.erase(*pid);
    if (event->detail1 != 0) {
        tracker->m_focused[*pid] = refObject(event->source);
        tracker->m_lost.erase(*pid);
        tracker->m_lastFocusedPid = pid;
    } else if (const auto known = tracker->m_focused.find(*pid);
               known != tracker->m_focused.end() && known->second.get() == event->source) {
        // Kept until a seeding finds another: the whole application may merely have lost the
        // keyboard to a menu or panel of another program (ours among them) and keeps its selection.
        tracker->m_lost.insert(*pid);
    }
    if (tracker->m_onChange) {
        tracker->m_onChange();
    }
}

void AtspiFocusTracker::prune(const std::function<bool(selection::Pid)>& gone)
{
    std::erase_if(m_focused, [&gone](const auto& entry) { return gone(entry.first); });
    std::erase_if(m_hosts, [&gone](const auto& entry) { return gone(entry.first) || gone(entry.second); });
    std::erase_if(m_pages, [&gone](const auto& entry) { return gone(entry.first); });
    if (m_inPageHost != 0 && gone(m_inPageHost)) {
        m_inPage.reset();
        m_inPageHost = 0;
    }
    std::erase_if(m_lost, gone);
    std::erase_if(m_fruitless, gone);
    std::erase_if(m_met, gone);
    if (m_lastFocusedPid && gone(*m_lastFocusedPid)) {
        m_lastFocusedPid.reset();
    }
    // A new process with the same number is seeded at once.
    if (m_lastPid != 0 && gone(m_lastPid)) {
        m_lastPid = 0;
    }
}

AtspiAccessible* AtspiFocusTracker::focusedIn(AtspiAccessible* application, selection::Pid pid)
{
    const bool lost = m_lost.erase(pid) > 0;
    const auto now = std::chrono::steady_clock::now();
    const auto known = m_focused.find(pid);
    bool stale = known == m_focused.end();
    bool switched = pid != m_lastPid;
    bool pageless = false;
    if (!stale && (switched || now - m_checkedAt >= reseedInterval)) {
        // Remembered states outlive the object (a document that was replaced still says FOCUSED):
        // the state is asked of the application, once a second, not on every step.
        atspi_accessible_clear_cache(known->second.get());
        m_checkedAt = now;
        stale = !hasState(known->second.get(), ATSPI_STATE_FOCUSED);
        // An application coming to the front announces its focus: that object, while it says so,
        // spares the walk (its first one over a Writer window costs LibreOffice some 300 ms).
        switched = switched && stale;
        // A window whose focus is no text may hold a page that was not built yet when it was last walked
        // (GNOME Web starting): walked again now and then until one is met.
        pageless = !stale && !m_pages.contains(pid) && now - m_seededAt >= fruitlessReseedInterval &&
                   preference(known->second.get()) == 0;
    }
    m_lastPid = pid;
    // An application that took long to answer is asked nothing more now (it may be hung): one
    // look at it stays well within what the layer's callers wait for.
    const auto answeredSlowly = [now] { return std::chrono::steady_clock::now() - now >= slowAnswer; };
    const auto interval = m_fruitless.contains(pid) ? fruitlessReseedInterval : reseedInterval;
    const bool retry = stale && now - m_seededAt >= interval;
    if ((switched || lost || retry || pageless) && !answeredSlowly()) {
        m_seededAt = now;
        ++m_seedCount;
        bool cutShort = false;
        std::vector<GObjectPtr<AtspiAccessible>> pages;
        // The first call to an application waits behind libatspi's fetch of its whole object cache
        // (about 100 ms for a Writer window): the first seeding gets the usual time-out, or an
        // application already in front when watching began would be found only seconds later.
        const bool firstMeeting = m_met.insert(pid).second;
        GObjectPtr<AtspiAccessible> seeded =
            seed(application,
                 firstMeeting ? std::chrono::milliseconds(AtspiAccessibility::callTimeoutMs) : m_seedCallTimeout,
                 cutShort, pages);
        // An application too busy for the short time-out gets twice as long at the next try, up to
        // the usual time-out (on a loaded machine the short one may never be enough).
        m_seedCallTimeout =
            cutShort ? std::min(2 * m_seedCallTimeout, std::chrono::milliseconds(AtspiAccessibility::callTimeoutMs))
                     : seedCallTimeout;
        for (const auto& page : pages) {
            if (const std::optional<selection::Pid> guest = readProcessId(page.get()); guest && *guest != pid) {
                m_hosts[*guest] = pid;
            }
        }
        if (!pages.empty()) {
            m_pages[pid] = std::move(pages);
        }
        if (seeded) {
            m_focused[pid] = std::move(seeded);
            m_fruitless.erase(pid);
        } else if (!cutShort) {
            // Walked again for staleness alone only now and then (an application whose window is
            // inactive has nothing focused) until it announces a focus change. One that was too
            // busy to answer is asked again at the usual pace.
            m_fruitless.insert(pid);
        }
    }
    const auto it = m_focused.find(pid);
    // The host's own focused button or pane leaves the page's selection in view. Only a window that
    // holds a page is asked for the state on every step.
    if (m_pages.contains(pid) && !answeredSlowly() &&
        (it == m_focused.end() || preference(it->second.get()) == 0 ||
         !hasState(it->second.get(), ATSPI_STATE_FOCUSED))) {
        if (AtspiAccessible* inPage = inPages(pid, now)) {
            return inPage;
        }
    }
    if (it == m_focused.end()) {
        return nullptr;
    }
    // A spreadsheet keeps announcing its sheet as focused while a cell's editor, next to it, holds
    // the keyboard (and may announce nothing): looked for beside the sheet, never inside it.
    if (now - m_besideCheckedAt >= besideInterval && !answeredSlowly() &&
        hasState(it->second.get(), ATSPI_STATE_MANAGES_DESCENDANTS)) {
        m_besideCheckedAt = now;
        ErrorSlot error;
        const GObjectPtr<AtspiAccessible> parent(atspi_accessible_get_parent(it->second.get(), error.out()));
        if (parent && !error) {
            const ScopedCallTimeout shortCalls(m_seedCallTimeout);
            Walk beside = walkFocused(parent.get(), now + seedBudget, besideLimit);
            if (beside.focused && preference(beside.focused.get()) > 0) {
                it->second = std::move(beside.focused);
            }
        }
    }
    return it->second.get();
}

namespace {

// The first text below `page` (within bounds) that is focused or holds a selection.
GObjectPtr<AtspiAccessible> textInPage(AtspiAccessible* page, std::chrono::steady_clock::time_point deadline)
{
    std::vector<std::pair<GObjectPtr<AtspiAccessible>, int>> stack;
    stack.emplace_back(refObject(page), 0);
    for (int visited = 0; !stack.empty() && visited < AtspiFocusTracker::pageLimit; ++visited) {
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        auto [node, depth] = std::move(stack.back());
        stack.pop_back();
        if (const GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(node.get())); text) {
            ErrorSlot error;
            const GMallocPtr<AtspiRange> range(atspi_text_get_selection(text.get(), 0, error.out()));
            if (hasState(node.get(), ATSPI_STATE_FOCUSED) ||
                (!error && range && range->start_offset < range->end_offset)) {
                return std::move(node);
            }
        }
        if (tableLike(node.get()) || depth >= AtspiFocusTracker::depthLimit) {
            continue;
        }
        const int count = std::min(childCount(node.get()), AtspiFocusTracker::pageLimit);
        for (int i = count - 1; i >= 0; --i) {
            if (auto child = childAt(node.get(), i)) {
                stack.emplace_back(std::move(child), depth + 1);
            }
        }
    }
    return nullptr;
}

} // namespace

AtspiAccessible* AtspiFocusTracker::inPages(selection::Pid host, std::chrono::steady_clock::time_point now)
{
    const auto pages = m_pages.find(host);
    if (pages == m_pages.end()) {
        return nullptr;
    }
    // Searched again at the pace of the neighbourhood of a sheet; the object found is kept meanwhile.
    if (host != m_inPageHost || now - m_pageCheckedAt >= besideInterval) {
        m_pageCheckedAt = now;
        m_inPageHost = host;
        m_inPage.reset();
        const ScopedCallTimeout shortCalls(m_seedCallTimeout);
        for (const auto& page : pages->second) {
            m_inPage = textInPage(page.get(), now + seedBudget);
            if (m_inPage) {
                break;
            }
        }
    }
    return m_inPage.get();
}

GObjectPtr<AtspiAccessible> AtspiFocusTracker::seed(AtspiAccessible* application, std::chrono::milliseconds callTimeout,
                                                    bool& cutShort, std::vector<GObjectPtr<AtspiAccessible>>& pages)
{
    if (application == nullptr) {
        return nullptr;
    }
    // An application still building its tree (a Writer window that has just opened keeps
    // LibreOffice busy for half a second and more) is not waited for: a later seeding, or the focus
    // it announces, finds the object.
    const ScopedCallTimeout shortCalls(callTimeout);
    ErrorSlot error;
    const int children = atspi_accessible_get_child_count(application, error.out());
    if (error) {
        // Not answered in time: asked again soon, not taken for an application with nothing focused.
        cutShort = true;
        return nullptr;
    }
    std::vector<GObjectPtr<AtspiAccessible>> topLevels;
    const int count = std::min(children, maxTopLevels);
    for (int i = 0; i < count; ++i) {
        if (auto child = childAt(application, i)) {
            // The active window first; the others only when none says it is active.
            if (hasState(child.get(), ATSPI_STATE_ACTIVE)) {
                topLevels.insert(topLevels.begin(), std::move(child));
            } else {
                topLevels.push_back(std::move(child));
            }
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + seedBudget;
    for (const auto& topLevel : topLevels) {
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        const auto asked = std::chrono::steady_clock::now();
        Walk walk = walkFocused(topLevel.get(), deadline);
        std::ranges::move(walk.pages, std::back_inserter(pages));
        if (walk.focused) {
            return std::move(walk.focused);
        }
        if (walk.visited <= 1 && std::chrono::steady_clock::now() - asked >= callTimeout) {
            // Not even the window answered in time.
            cutShort = true;
            break;
        }
    }
    cutShort = cutShort || std::chrono::steady_clock::now() >= deadline;
    return nullptr;
}

} // namespace parlomatic::platform
