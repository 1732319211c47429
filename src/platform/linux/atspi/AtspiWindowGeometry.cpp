#include "platform/linux/atspi/AtspiAccessibilityImpl.h"

#include <QList>

namespace parlomatic::platform {

namespace {

// A selection read only in part is no rectangle: the strip would stand over what was not read.
std::optional<selection::AxRect> wholeRect(const CompositeSelection& selection)
{
    return selection.complete ? selection.rect : std::nullopt;
}

} // namespace

std::optional<selection::AxRect>
AtspiAccessibility::Impl::characterExtents(AtspiAccessible* accessible, AtspiText* text, int offset, selection::Pid pid)
{
    const bool known = lastFacts.element.get() == accessible;
    if (!known || !lastFacts.windowCoordinates) {
        ErrorSlot error;
        const auto rect =
            toRect(atspi_text_get_character_extents(text, offset, ATSPI_COORD_TYPE_SCREEN, error.out()), error);
        if (rect || !known) {
            return rect;
        }
    }
    ErrorSlot error;
    std::optional<selection::AxRect> rect =
        toRect(atspi_text_get_character_extents(text, offset, ATSPI_COORD_TYPE_WINDOW, error.out()), error);
    if (!rect) {
        return std::nullopt;
    }
    lastFacts.windowCoordinates = true;
    const auto origin = windowOrigin(accessible, pid);
    if (!origin) {
        return std::nullopt;
    }
    return origin->onRoot(*rect);
}

selection::AxRect AtspiAccessibility::Impl::lineByLineExtents(AtspiAccessible* accessible, AtspiText* text,
                                                              AtspiSelectionCache::Range range, selection::Pid pid,
                                                              selection::AxRect ends,
                                                              const UnresponsiveProcesses::Watch& watch)
{
    // Offsets count code points, as the selected text's UCS-4 form does.
    const std::optional<QString> selected = selection->text(accessible, text, range);
    const QList<uint> codePoints = selected ? selected->toUcs4() : QList<uint>();
    const auto isBreak = [&](int offset) {
        const qsizetype at = offset - range.first;
        return at >= 0 && at < codePoints.size() && (codePoints[at] == '\n' || codePoints[at] == '\r');
    };
    selection::AxRect total = ends;
    int offset = range.first;
    for (int line = 0; line < maxMeasuredLines && !watch.slow(); ++line) {
        while (offset < range.second && isBreak(offset)) {
            ++offset;
        }
        if (offset >= range.second) {
            break;
        }
        ErrorSlot error;
        const TextRangePtr bounds(
            atspi_text_get_string_at_offset(text, offset, ATSPI_TEXT_GRANULARITY_LINE, error.out()));
        if (error || !bounds) {
            break;
        }
        // GTK 4.8 answers from `offset` (not the line's start) to the line's end before its break.
        const int end = std::clamp(bounds->end_offset, offset + 1, range.second);
        int last = end - 1;
        while (last > offset && isBreak(last)) {
            --last;
        }
        for (const int at : {offset, last}) {
            if (const auto character = characterExtents(accessible, text, at, pid)) {
                total = united(total, *character);
            }
        }
        offset = end;
    }
    return total;
}

std::optional<WindowPlacement> AtspiAccessibility::Impl::windowOrigin(AtspiAccessible* accessible, selection::Pid pid)
{
    if (lastFacts.element.get() == accessible && lastFacts.windowOrigin) {
        return lastFacts.windowOrigin;
    }
    // The top-level is the ancestor whose parent is the application.
    GObjectPtr<AtspiAccessible> topLevel = refObject(accessible);
    for (int depth = 0; depth < ancestorLimit; ++depth) {
        ErrorSlot error;
        GObjectPtr<AtspiAccessible> parent(atspi_accessible_get_parent(topLevel.get(), error.out()));
        ErrorSlot roleError;
        if (error || !parent || atspi_accessible_get_role(parent.get(), roleError.out()) == ATSPI_ROLE_APPLICATION) {
            break;
        }
        topLevel = std::move(parent);
    }
    const GObjectPtr<AtspiComponent> component(atspi_accessible_get_component_iface(topLevel.get()));
    ErrorSlot error;
    const auto content =
        component ? toRect(atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_WINDOW, error.out()), error)
                  : std::nullopt;
    const auto window = windows.windowGeometry(pid);
    if (!window && compositor && content) {
        if (const std::optional<WindowGeometry> native = compositor->focusedWindow(pid)) {
            const auto [x, y] = contentOrigin(*native, *content);
            const WindowPlacement origin{
                .x = x, .y = y, .rootScale = native->rootScale, .contentScale = native->contentScale};
            if (lastFacts.element.get() == accessible) {
                lastFacts.windowOrigin = origin;
            }
            return origin;
        }
    }
    if (!content || !window) {
        return std::nullopt;
    }
    const WindowPlacement origin{.x = window->x + (window->width - content->width) / 2,
                                 .y = window->y + (window->height - content->height) / 2};
    if (lastFacts.element.get() == accessible) {
        lastFacts.windowOrigin = origin;
    }
    return origin;
}

std::optional<selection::AxRect> AtspiAccessibility::selectionBoundsFromTextMarkers(const selection::Element& element)
{
    const auto read = d->startRead(element);
    const UnresponsiveProcesses::Watch& watch = read.watch;
    if (read.skip()) {
        return std::nullopt;
    }
    const auto selected = d->selectedRange(element, watch);
    if (!selected) {
        const CompositeSelection* preceding = d->precedingComposite(element, watch);
        return preceding ? wholeRect(*preceding) : std::nullopt;
    }
    if (const CompositeSelection* whole = d->composite(*selected, watch)) {
        return wholeRect(*whole);
    }
    const auto& [accessible, text, range] = *selected;
    const unsigned long layout = d->layoutChanges();
    if (layout != d->layoutSeen) {
        d->layoutSeen = layout;
        d->lastFacts.windowOrigin.reset();
    }
    if (const auto steady = d->selection->steadyRect(accessible, range, layout)) {
        return steady;
    }
    ++d->extentsReads;
    const selection::Pid pid = element->processId().value_or(0);
    const auto first = d->characterExtents(accessible, text, range.first, pid);
    if (!first) {
        return std::nullopt;
    }
    if (const auto known = d->selection->bounds(accessible, range);
        known && known->firstCharacter.width == first->width && known->firstCharacter.height == first->height) {
        selection::AxRect moved = known->selection;
        moved.x += first->x - known->firstCharacter.x;
        moved.y += first->y - known->firstCharacter.y;
        d->selection->confirmRect(accessible, range, moved, layout);
        return moved;
    }
    if (watch.slow()) {
        return std::nullopt;
    }
    const auto last = d->characterExtents(accessible, text, range.second - 1, pid);
    if (!last) {
        return std::nullopt;
    }
    selection::AxRect selection = united(*first, *last);
    // Over several lines the two ends say nothing about the lines' widths: the range's own extents
    // do, else (GTK 4) the lines' own.
    if (last->y >= first->y + first->height && !watch.slow()) {
        std::optional<selection::AxRect> whole;
        if (!d->lastFacts.windowCoordinates) {
            ErrorSlot rangeError;
            whole = toRect(atspi_text_get_range_extents(text, range.first, range.second, ATSPI_COORD_TYPE_SCREEN,
                                                        rangeError.out()),
                           rangeError);
        }
        if (whole && whole->width > 0 && whole->height > 0) {
            selection = *whole;
        } else if (!watch.slow()) {
            selection = d->lineByLineExtents(accessible, text, range, pid, selection, watch);
        }
    }
    d->selection->setBounds(accessible, range, {.firstCharacter = *first, .selection = selection});
    d->selection->confirmRect(accessible, range, selection, layout);
    return selection;
}

std::optional<selection::AxRect> AtspiAccessibility::selectionBoundsFromRange(const selection::Element& element)
{
    const auto read = d->startRead(element);
    const UnresponsiveProcesses::Watch& watch = read.watch;
    if (read.skip()) {
        return std::nullopt;
    }
    const auto selected = d->selectedRange(element, watch);
    if (!selected) {
        const CompositeSelection* preceding = d->precedingComposite(element, watch);
        return preceding ? wholeRect(*preceding) : std::nullopt;
    }
    if (const CompositeSelection* whole = d->composite(*selected, watch)) {
        return wholeRect(*whole);
    }
    ErrorSlot error;
    AtspiRect* rect = atspi_text_get_range_extents(selected->text, selected->range.first, selected->range.second,
                                                   ATSPI_COORD_TYPE_SCREEN, error.out());
    return toRect(rect, error);
}

std::optional<selection::AxRect> AtspiAccessibility::elementFrame(const selection::Element& element)
{
    const auto read = d->startRead(element);
    const auto& [accessible, watch] = read;
    AtspiComponent* component = read.skip() ? nullptr : d->facts(accessible).component.get();
    if (component == nullptr || watch.slow()) {
        return std::nullopt;
    }
    ErrorSlot error;
    if (!d->lastFacts.windowCoordinates) {
        return toRect(atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, error.out()), error);
    }
    std::optional<selection::AxRect> frame =
        toRect(atspi_component_get_extents(component, ATSPI_COORD_TYPE_WINDOW, error.out()), error);
    const auto origin = frame ? d->windowOrigin(accessible, element->processId().value_or(0)) : std::nullopt;
    if (!origin) {
        return std::nullopt;
    }
    return origin->onRoot(*frame);
}

std::optional<selection::AxRect> AtspiAccessibility::windowFrame(const selection::Element& element)
{
    const std::optional<selection::Pid> pid = element ? element->processId() : std::nullopt;
    if (!pid || d->wayland || !d->windows.isConnected()) {
        return std::nullopt;
    }
    return d->windows.windowGeometry(*pid);
}

} // namespace parlomatic::platform
