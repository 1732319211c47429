#include "platform/linux/atspi/AtspiAccessibilityImpl.h"

#include <QList>

namespace parlomatic::platform {

std::optional<AxRect> AtspiAccessibility::Impl::characterExtents(AtspiAccessible* accessible, AtspiText* text,
                                                                 int offset, Pid pid)
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
    std::optional<AxRect> rect =
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

AxRect AtspiAccessibility::Impl::lineByLineExtents(AtspiAccessible* accessible, AtspiText* text,
                                                   AtspiSelectionCache::Range range, Pid pid, AxRect ends,
                                                   const UnresponsiveProcesses::Watch& watch)
{
    // Offsets count code points, as the selected text's UCS-4 form does.
    const std::optional<QString> selected = selection->text(accessible, text, range);
    const QList<uint> codePoints = selected ? selected->toUcs4() : QList<uint>();
    const auto isBreak = [&](int offset) {
        const qsizetype at = offset - range.first;
        return at >= 0 && at < codePoints.size() && (codePoints[at] == '\n' || codePoints[at] == '\r');
    };
    AxRect total = ends;
    int offset = range.first;
    for (int line = 0; line < maxMeasuredLines && !watch.slow(); ++line) {
        while (offset < range.second && isBreak(offset)) {
            ++offset;
        }
        if (offset >= range.second) {
            break;
        }
        ErrorSlot error;
        const std::unique_ptr<AtspiTextRange, TextRangeFree> bounds(
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

std::optional<WindowPlacement> AtspiAccessibility::Impl::windowOrigin(AtspiAccessible* accessible, Pid pid)
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

} // namespace parlomatic::platform
