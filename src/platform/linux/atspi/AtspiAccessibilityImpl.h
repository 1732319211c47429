#pragma once

#include "platform/linux/wayland/WindowGeometry.h"

// The state of AtspiAccessibility, shared by the files that make it up (AtspiAccessibility.cpp,
// AtspiWindowGeometry.cpp). Private to them.

#include "platform/linux/atspi/AtspiAccessibility.h"

#include "platform/linux/atspi/AtspiApplications.h"
#include "platform/linux/atspi/AtspiCompositeSelection.h"
#include "platform/linux/atspi/AtspiElement.h"
#include "platform/linux/atspi/AtspiFocusTracker.h"
#include "platform/linux/atspi/AtspiSelectionCache.h"
#include "platform/linux/atspi/UnresponsiveProcesses.h"
#include "platform/linux/wayland/WaylandWindows.h"
#include "platform/linux/x11/X11WindowList.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace parlomatic::platform {

using SteadyClock = std::chrono::steady_clock;

inline constexpr int ancestorLimit = 64;
// Lines measured one by one in a selection whose toolkit gives no range extents.
inline constexpr int maxMeasuredLines = 16;
inline constexpr auto factsMaxAge = std::chrono::seconds(1);

// libatspi fills the rectangle with whatever came back when the application answered an error,
// so a rectangle counts only without an error and with a sane size.
inline std::optional<selection::AxRect> toRect(AtspiRect* raw, const ErrorSlot& error)
{
    const GMallocPtr<AtspiRect> rect(raw);
    if (error || !rect || rect->width < 0 || rect->height < 0) {
        return std::nullopt;
    }
    return selection::AxRect{
        .x = double(rect->x), .y = double(rect->y), .width = double(rect->width), .height = double(rect->height)};
}

inline selection::AxRect united(const selection::AxRect& one, const selection::AxRect& other)
{
    const double left = std::min(one.x, other.x);
    const double top = std::min(one.y, other.y);
    const double right = std::max(one.x + one.width, other.x + other.width);
    const double bottom = std::max(one.y + one.height, other.y + other.height);
    return selection::AxRect{.x = left, .y = top, .width = right - left, .height = bottom - top};
}

inline void freeTextRange(AtspiTextRange* range)
{
    g_boxed_free(ATSPI_TYPE_TEXT_RANGE, range);
}
using TextRangePtr = UniqueCPtr<AtspiTextRange, freeTextRange>;

struct AtspiAccessibility::Impl {
    bool available = false;
    // The accessibility bus this layer was made on; once it is disconnected the layer is dead.
    UniqueCPtr<DBusConnection, dbus_connection_unref> bus;
    X11WindowList windows;
    // A Wayland session, where XWayland sets DISPLAY too.
    bool wayland = false;
    Compositor compositorKind = Compositor::none;
    // Where native windows are, from the compositor (nothing on X11 or an unknown compositor).
    std::unique_ptr<WaylandWindows> compositor;
    std::unique_ptr<AtspiFocusTracker> focus;
    std::unique_ptr<AtspiApplications> applications;
    // Grows whenever a window moved, on X11 or in the compositor.
    unsigned long layoutChanges() { return windows.layoutChanges() + (compositor ? compositor->layoutChanges() : 0); }

    std::unique_ptr<AtspiSelectionCache> selection;

    int enhancedPasses = 0;
    int extentsReads = 0;
    unsigned long layoutSeen = 0;
    UnresponsiveProcesses unresponsive;
    std::function<void()> changed;
    void announceChange() const
    {
        if (changed) {
            changed();
        }
    }

    // What never changes for an element, asked about once a second while the poller keeps reading
    // the same one (not for ever: a read that timed out must be retried).
    struct ElementFacts {
        GObjectPtr<AtspiAccessible> element;
        SteadyClock::time_point readAt;
        std::optional<AtspiRole> role;
        GObjectPtr<AtspiText> text;
        GObjectPtr<AtspiComponent> component;
        // A paragraph of a text document (LibreOffice), whose siblings may hold the selection's other parts.
        bool inTextDocument = false;
        // A native Wayland window: its rectangles are relative to a window whose position is unknown.
        bool windowRelative = false;
        // The element answers in WINDOW coordinates only (GTK 4), and where its window's origin lies.
        bool windowCoordinates = false;
        std::optional<WindowPlacement> windowOrigin;
        // The window layout (layoutChanges()) when these were read.
        unsigned long layout = 0;
    } lastFacts;
    const ElementFacts& facts(AtspiAccessible* accessible);
    // The element's text interface, where its text may be read: nothing before its role is known,
    // nor for a password field (whose text, range and extents tell the password or its length).
    AtspiText* readableText(AtspiAccessible* accessible)
    {
        const ElementFacts& known = facts(accessible);
        return known.role && *known.role != ATSPI_ROLE_PASSWORD_TEXT ? known.text.get() : nullptr;
    }

    // What each read of an element starts with: the AT-SPI object behind it, and the watch that
    // times the calls to its process from here on.
    struct ElementRead {
        AtspiAccessible* accessible;
        UnresponsiveProcesses::Watch watch;
        // Nothing is to be asked: no object, or its process is left alone for now.
        bool skip() const { return accessible == nullptr || watch.skip(); }
    };
    ElementRead startRead(const selection::Element& element)
    {
        return {.accessible = atspiOf(element),
                .watch = UnresponsiveProcesses::Watch(unresponsive, element ? element->processId() : std::nullopt)};
    }
    // How the last window told on the debug channel is placed, told again when that changes.
    enum class WindowPlacedBy : std::uint8_t { x11, compositor, nobody };
    std::pair<selection::Pid, WindowPlacedBy> toldPlacement{0, WindowPlacedBy::x11};

    // A character's screen rectangle. GTK 4 answers SCREEN extents with an error but WINDOW ones
    // correctly: those are moved by the window's origin.
    std::optional<selection::AxRect> characterExtents(AtspiAccessible* accessible, AtspiText* text, int offset,
                                                      selection::Pid pid);
    // The union of each selected line, from its first to its last selected character (line ends from
    // the Text interface's line granularity, line breaks skipped), for the first maxMeasuredLines
    // lines, grown from `ends` (the selection's first and last characters). For toolkits that answer
    // range extents with an error (GTK 4.8).
    selection::AxRect lineByLineExtents(AtspiAccessible* accessible, AtspiText* text, AtspiSelectionCache::Range range,
                                        selection::Pid pid, selection::AxRect ends,
                                        const UnresponsiveProcesses::Watch& watch);
    // The screen position of the element's window content: the X window's origin plus the inset of
    // client-side decorations, (X window size - top-level size) / 2 on each axis.
    std::optional<WindowPlacement> windowOrigin(AtspiAccessible* accessible, selection::Pid pid);

    // The element's text interface and its selected range, read while `watch` allows calls;
    // nothing when it has no text or no selection, or its process got slow.
    struct SelectedRange {
        AtspiAccessible* accessible;
        AtspiText* text;
        AtspiSelectionCache::Range range;
    };
    std::optional<SelectedRange> selectedRange(const selection::Element& element,
                                               const UnresponsiveProcesses::Watch& watch);

    // A selection the focused object holds only in part (web documents, LibreOffice paragraphs),
    // worked out once for the rectangle and the text of one step; null when the object holds it whole.
    struct Composite {
        GObjectPtr<AtspiAccessible> element;
        AtspiSelectionCache::Range range;
        QString selected;
        SteadyClock::time_point at;
        std::optional<CompositeSelection> selection;
        unsigned long announcements = 0;
        unsigned long layout = 0;
    } lastComposite;
    // Whether lastComposite still holds for this element, range and selected text: within the
    // step that read it, or later while the element's application announced nothing and no window
    // moved (for at most a second, as for toolkits that announce no scrolling).
    bool compositeHolds(AtspiAccessible* accessible, AtspiSelectionCache::Range range, const QString& selected);
    void keepComposite(AtspiAccessible* accessible, AtspiSelectionCache::Range range, const QString& selected,
                       std::optional<CompositeSelection> read);
    const CompositeSelection* composite(const SelectedRange& selected, const UnresponsiveProcesses::Watch& watch);
    // A paragraph of a text document that holds no selection itself: the selection that ends where
    // its caret stands (AtspiCompositeSelection's precedingSelection), worked out once per step.
    const CompositeSelection* precedingComposite(const selection::Element& element,
                                                 const UnresponsiveProcesses::Watch& watch);

    void ensureEnabled();
};

} // namespace parlomatic::platform
