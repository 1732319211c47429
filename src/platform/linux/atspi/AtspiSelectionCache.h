#pragma once

#include "platform/linux/desktop/GlibHandles.h"
#include "selection/axUtils.h"

#include <QString>

#include <atspi/atspi.h>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace parlomatic::platform {

// Remembers the selected range, text and role of the element the poller reads, so that a step in
// which nothing changed costs one call (the rectangle, which moves with scrolling and is always
// read, and only when something says the view may have moved) instead of four. The range and text are reused only for
// an element that has been seen to announce its selection changes ("object:text-selection-changed"); any such
// announcement or a text change of that element drops them, and they are read again at least every maxAge anyway.
class AtspiSelectionCache {
public:
    using Range = std::pair<int, int>;
    static constexpr auto maxAge = std::chrono::seconds(2);
    static constexpr auto sameStepWindow = std::chrono::milliseconds(50);
    static constexpr auto roleMaxAge = std::chrono::seconds(1);
    static constexpr auto steadyMaxAge = std::chrono::seconds(1);

    AtspiSelectionCache();
    ~AtspiSelectionCache();
    AtspiSelectionCache(const AtspiSelectionCache&) = delete;
    AtspiSelectionCache& operator=(const AtspiSelectionCache&) = delete;

    // The non-empty selected range [start, end) of the element, or nothing.
    std::optional<Range> range(AtspiAccessible* accessible, AtspiText* text);
    // The text of `range` (as range() returned it).
    std::optional<QString> text(AtspiAccessible* accessible, AtspiText* text, Range range);
    // The rectangle of an unchanged selection moves rigidly with scrolling and window moves, so
    // while the range stays remembered the first character's extents are enough to place it.
    struct Bounds {
        selection::AxRect firstCharacter;
        selection::AxRect selection;
    };
    std::optional<Bounds> bounds(AtspiAccessible* accessible, Range range) const;
    void setBounds(AtspiAccessible* accessible, Range range, Bounds bounds);
    // The selection rectangle as last read or confirmed, while nothing says the view may have moved:
    // no scroll bar of the element's application changed its value, none of its objects announced
    // new bounds or visible data, the window layout (`layout`, X11WindowList::layoutChanges) is the
    // same, and for steadyMaxAge at most (a toolkit that announces none of this is followed anyway).
    std::optional<selection::AxRect> steadyRect(AtspiAccessible* accessible, Range range, unsigned long layout) const;
    void confirmRect(AtspiAccessible* accessible, Range range, selection::AxRect rect, unsigned long layout);

    std::optional<QString> role(AtspiAccessible* accessible, const std::function<std::optional<QString>()>& read);

    // Runs when any element announces a selection change.
    void setOnSelectionChange(std::function<void()> onChange) { m_onSelectionChange = std::move(onChange); }

    // How often the range was read from the application.
    int rangeReads() const { return m_rangeReads; }
    // Counts what the read element's application announced (text, selection or view changes): while
    // it stays the same, and `accessible` announces its selection changes, what was read of the
    // selection still holds.
    unsigned long announcements() const { return m_announcements; }
    bool announcesSelection(AtspiAccessible* accessible) const { return announces(accessible); }

    // Forget everything (tests and benchmarks measure the uncached path).
    void clear();

private:
    using Clock = std::chrono::steady_clock;
    static void onEvent(AtspiEvent* event, void* self);

    GObjectPtr<AtspiEventListener> m_listener;
    std::function<void()> m_onSelectionChange;
    bool announces(AtspiAccessible* accessible) const;

    GObjectPtr<AtspiAccessible> m_element;
    // The application m_element belongs to, as events name their sender (nothing when it could
    // not be read: then no event counts as its application's).
    GObjectPtr<AtspiAccessible> m_application;
    // Elements seen announcing their selection changes (the latest few): for them, quiet means unchanged.
    std::vector<GObjectPtr<AtspiAccessible>> m_announcers;
    bool m_stale = true;
    int m_rangeReads = 0;
    unsigned long m_announcements = 0;
    Clock::time_point m_readAt;
    std::optional<Range> m_range;
    std::optional<QString> m_text;
    std::optional<Bounds> m_bounds;
    Clock::time_point m_boundsAt;
    struct Steady {
        selection::AxRect rect;
        Clock::time_point at;
        unsigned long layout = 0;
    };
    std::optional<Steady> m_steady;

    GObjectPtr<AtspiAccessible> m_roleElement;
    Clock::time_point m_roleReadAt;
    std::optional<QString> m_role;
};

} // namespace parlomatic::platform
