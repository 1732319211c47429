#include "platform/linux/atspi/AtspiAccessibilityImpl.h"

#include "platform/linux/atspi/AccessibilityBusStatus.h"
#include "platform/linux/atspi/AtspiRoles.h"
#include "platform/linux/desktop/ApplicationProcess.h"

#include <QList>

#include <algorithm>

#include <unistd.h>

namespace parlomatic::platform {

namespace {

// A selection read only in part is no selection: acting on it would replace more than was read.
std::optional<QString> wholeText(const CompositeSelection& selection)
{
    return selection.complete ? std::optional(selection.text) : std::nullopt;
}
std::optional<AxRect> wholeRect(const CompositeSelection& selection)
{
    return selection.complete ? selection.rect : std::nullopt;
}

std::optional<QString> readRole(AtspiAccessible* accessible)
{
    ErrorSlot error;
    const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
    if (error || role == ATSPI_ROLE_INVALID) {
        return std::nullopt;
    }
    const StateSetPtr states(atspi_accessible_get_state_set(accessible));
    if (!states || atspi_state_set_contains(states.get(), ATSPI_STATE_DEFUNCT)) {
        return std::nullopt;
    }
    return classifyRole(RoleFacts{
        .atspiRole = role,
        .editable = atspi_state_set_contains(states.get(), ATSPI_STATE_EDITABLE) != FALSE,
        .readOnly = atspi_state_set_contains(states.get(), ATSPI_STATE_READ_ONLY) != FALSE,
        .multiLine = atspi_state_set_contains(states.get(), ATSPI_STATE_MULTI_LINE) != FALSE,
        .singleLine = atspi_state_set_contains(states.get(), ATSPI_STATE_SINGLE_LINE) != FALSE,
    });
}

} // namespace

std::optional<AtspiAccessibility::Impl::SelectedRange>
AtspiAccessibility::Impl::selectedRange(const Element& element, const UnresponsiveProcesses::Watch& watch)
{
    AtspiAccessible* accessible = atspiOf(element);
    if (accessible == nullptr) {
        return std::nullopt;
    }
    // A password field's range and extents tell the password's length: neither is read.
    const ElementFacts& known = facts(accessible);
    AtspiText* text = known.text.get();
    if (text == nullptr || !known.role || *known.role == ATSPI_ROLE_PASSWORD_TEXT || known.windowRelative ||
        !selection || watch.slow()) {
        return std::nullopt;
    }
    const auto range = selection->range(accessible, text);
    if (!range || watch.slow()) {
        return std::nullopt;
    }
    return SelectedRange{.accessible = accessible, .text = text, .range = *range};
}

const CompositeSelection* AtspiAccessibility::Impl::composite(const SelectedRange& selected,
                                                              const UnresponsiveProcesses::Watch& watch)
{
    const auto& [accessible, text, range] = selected;
    const std::optional<QString> raw = selection->text(accessible, text, range);
    if (!raw || watch.slow()) {
        return nullptr;
    }
    if (compositeHolds(accessible, range, *raw)) {
        return lastComposite.selection ? &*lastComposite.selection : nullptr;
    }
    const auto slow = [&watch] { return watch.slow(); };
    if (raw->contains(QChar(embeddedObject))) {
        keepComposite(accessible, range, *raw, embeddedSelection(accessible, text, range, *raw, slow));
    } else if (facts(accessible).inTextDocument) {
        keepComposite(accessible, range, *raw, siblingSelection(accessible, text, range, *raw, slow));
    } else {
        return nullptr;
    }
    return lastComposite.selection ? &*lastComposite.selection : nullptr;
}

bool AtspiAccessibility::Impl::compositeHolds(AtspiAccessible* accessible, AtspiSelectionCache::Range range,
                                              const QString& selected)
{
    if (lastComposite.element.get() != accessible || lastComposite.range != range ||
        lastComposite.selected != selected) {
        return false;
    }
    const auto age = SteadyClock::now() - lastComposite.at;
    return age < AtspiSelectionCache::sameStepWindow ||
           (age < AtspiSelectionCache::steadyMaxAge && selection->announcesSelection(accessible) &&
            lastComposite.announcements == selection->announcements() && lastComposite.layout == layoutChanges());
}

void AtspiAccessibility::Impl::keepComposite(AtspiAccessible* accessible, AtspiSelectionCache::Range range,
                                             const QString& selected, std::optional<CompositeSelection> read)
{
    lastComposite = Composite{.element = refObject(accessible),
                              .range = range,
                              .selected = selected,
                              .at = SteadyClock::now(),
                              .selection = std::move(read),
                              .announcements = selection->announcements(),
                              .layout = layoutChanges()};
}

const CompositeSelection* AtspiAccessibility::Impl::precedingComposite(const Element& element,
                                                                       const UnresponsiveProcesses::Watch& watch)
{
    AtspiAccessible* accessible = atspiOf(element);
    if (accessible == nullptr || watch.slow() || !facts(accessible).inTextDocument || lastFacts.windowRelative ||
        !lastFacts.text) {
        return nullptr;
    }
    constexpr AtspiSelectionCache::Range none{0, 0};
    if (!compositeHolds(accessible, none, QString())) {
        keepComposite(accessible, none, QString(),
                      precedingSelection(accessible, lastFacts.text.get(), [&watch] { return watch.slow(); }));
    }
    return lastComposite.selection ? &*lastComposite.selection : nullptr;
}

const AtspiAccessibility::Impl::ElementFacts& AtspiAccessibility::Impl::facts(AtspiAccessible* accessible)
{
    const auto now = SteadyClock::now();
    // A native window that could not be placed is looked at again as soon as its compositor told
    // of a change (KWin tells of the active window a moment after it starts).
    const bool placedSince = lastFacts.windowRelative && lastFacts.layout != layoutChanges();
    if (lastFacts.element.get() != accessible || now - lastFacts.readAt >= factsMaxAge || placedSince) {
        // Each of these reads can be a round trip. After a failure or a slow answer (a time-out)
        // nothing more is asked now, and the facts count as outdated, so they are read again.
        const auto slow = [now] { return SteadyClock::now() - now >= UnresponsiveProcesses::slowCall; };
        lastFacts = ElementFacts{
            .element = refObject(accessible),
            .readAt = now - factsMaxAge,
            .role = std::nullopt,
            .text = nullptr,
            .component = nullptr,
            .inTextDocument = false,
            .windowRelative = false,
            .windowCoordinates = false,
            .windowOrigin = std::nullopt,
            .layout = layoutChanges(),
        };
        ErrorSlot error;
        const AtspiRole role = atspi_accessible_get_role(accessible, error.out());
        if (error || slow()) {
            return lastFacts;
        }
        lastFacts.role = role;
        lastFacts.text.reset(atspi_accessible_get_text_iface(accessible));
        if (slow()) {
            return lastFacts;
        }
        lastFacts.component.reset(atspi_accessible_get_component_iface(accessible));
        if (wayland) {
            const std::optional<Pid> pid = readProcessId(accessible);
            // A native window is placed from what its compositor tells, in the toolkit's window
            // coordinates (its screen coordinates are window-relative there too).
            const bool xwayland = pid && windows.windowGeometry(*pid);
            lastFacts.windowRelative = !xwayland && !(pid && compositor && compositor->focusedWindow(*pid));
            lastFacts.windowCoordinates = !xwayland && !lastFacts.windowRelative;
        }
        if (role == ATSPI_ROLE_PARAGRAPH && !slow()) {
            ErrorSlot parentError;
            const GObjectPtr<AtspiAccessible> parent(atspi_accessible_get_parent(accessible, parentError.out()));
            ErrorSlot parentRoleError;
            lastFacts.inTextDocument =
                parent && atspi_accessible_get_role(parent.get(), parentRoleError.out()) == ATSPI_ROLE_DOCUMENT_TEXT;
        }
        if (!slow()) {
            lastFacts.readAt = now;
        }
    }
    return lastFacts;
}

void AtspiAccessibility::Impl::ensureEnabled()
{
    if (AccessibilityBusStatus::isEnabled() != std::optional<bool>(true)) {
        AccessibilityBusStatus::setEnabled(true);
    }
}

AtspiAccessibility::AtspiAccessibility() : d(std::make_unique<Impl>())
{
    DBusConnection* bus = atspi_get_a11y_bus();
    const int status = atspi_init();
    d->available = (status == 0 || status == 1) && bus != nullptr;
    if (!d->available) {
        return;
    }
    d->bus.reset(dbus_connection_ref(bus));
    atspi_set_timeout(callTimeoutMs, callTimeoutMs);
    if (d->wayland && !d->compositor) {
        WaylandWindows::tellUserOnce();
    }
    Impl* impl = d.get();
    d->focus = std::make_unique<AtspiFocusTracker>();
    d->focus->setOnChange([impl] { impl->announceChange(); });
    d->selection = std::make_unique<AtspiSelectionCache>();
    d->selection->setOnSelectionChange([impl] { impl->announceChange(); });
    d->applications = std::make_unique<AtspiApplications>(
        AtspiApplications::Callbacks{
            // A newly started application is switched on like the others (one switch for all of them).
            .launched = [impl] { impl->ensureEnabled(); },
            .left = [impl](const std::function<bool(Pid)>& gone) { impl->focus->prune(gone); },
            .activated = [impl] { impl->announceChange(); },
        },
        applicationProcess());
}

AtspiAccessibility::~AtspiAccessibility() = default;

bool AtspiAccessibility::isConnected()
{
    return d->available && d->bus && dbus_connection_get_is_connected(d->bus.get()) != FALSE;
}

bool AtspiAccessibility::isResponding(Pid pid)
{
    return !d->unresponsive.isCoolingDown(pid);
}

bool AtspiAccessibility::isAvailable() const
{
    return d->available;
}

std::optional<Pid> AtspiAccessibility::frontmostWindowOwnerPid()
{
    // On Wayland the X11 list holds only XWayland windows: the front application comes from AT-SPI.
    if (d->windows.isConnected() && !d->wayland) {
        return d->windows.frontmostWindowOwnerPid();
    }
    // The compositor knows which window has the keyboard (a toolkit may announce no focus when its
    // window comes to the front).
    if (d->compositor) {
        if (const std::optional<Pid> focused = d->compositor->focusedProcess()) {
            return focused;
        }
    }
    // Otherwise: where the focus went last, else (before any focus event) the application whose
    // top-level says it is active.
    if (d->focus) {
        if (const std::optional<Pid> focused = d->focus->lastFocusedProcess()) {
            return focused;
        }
    }
    return d->applications ? d->applications->activeApplication(d->unresponsive) : std::nullopt;
}

Element AtspiAccessibility::applicationElement(Pid pid)
{
    if (!d->available || d->unresponsive.isCoolingDown(pid)) {
        return {};
    }
    return makeElement(d->applications->find(pid), pid);
}

Element AtspiAccessibility::focusedElement(const Element& application)
{
    AtspiAccessible* app = atspiOf(application);
    const std::optional<Pid> pid = application ? application->processId() : std::nullopt;
    if (app == nullptr || !pid || !d->focus) {
        return {};
    }
    UnresponsiveProcesses::Watch watch(d->unresponsive, pid);
    if (watch.skip()) {
        return {};
    }
    const int seeds = d->focus->seedCount();
    Element focused = makeElement(d->focus->focusedIn(app, *pid), pid);
    // Seeding from a large tree may take long; an application that did yield its focus is not hung.
    if (focused && d->focus->seedCount() != seeds) {
        watch.answered();
    }
    return focused;
}

std::optional<QString> AtspiAccessibility::bundleIdentifier(Pid pid)
{
    // The name is asked of the application itself until one read succeeds.
    const UnresponsiveProcesses::Watch watch(d->unresponsive, pid);
    if (watch.skip() || !d->applications) {
        return std::nullopt;
    }
    return d->applications->name(pid);
}

std::optional<QString> AtspiAccessibility::selectedText(const Element& element)
{
    AtspiAccessible* accessible = atspiOf(element);
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (watch.skip()) {
        return std::nullopt;
    }
    if (accessible == nullptr || !d->selection) {
        return std::nullopt;
    }
    // A password field's text is never read, not even into memory.
    const Impl::ElementFacts& facts = d->facts(accessible);
    if (!facts.role || *facts.role == ATSPI_ROLE_PASSWORD_TEXT) {
        return std::nullopt;
    }
    AtspiText* text = facts.text.get();
    if (text == nullptr || watch.slow()) {
        return std::nullopt;
    }
    const auto range = d->selection->range(accessible, text);
    if (!range) {
        const CompositeSelection* preceding = d->precedingComposite(element, watch);
        return preceding ? wholeText(*preceding) : QString();
    }
    if (watch.slow()) {
        return std::nullopt;
    }
    if (const CompositeSelection* whole =
            d->composite({.accessible = accessible, .text = text, .range = *range}, watch)) {
        return wholeText(*whole);
    }
    return d->selection->text(accessible, text, *range);
}

bool AtspiAccessibility::replaceSelection(const Element& element, const QString& text)
{
    AtspiAccessible* accessible = atspiOf(element);
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (accessible == nullptr || watch.skip()) {
        return false;
    }
    const GObjectPtr<AtspiText> readable(atspi_accessible_get_text_iface(accessible));
    const GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(accessible));
    if (!readable || !editable) {
        return false;
    }
    // The selection as it is now, not as remembered.
    ErrorSlot rangeError;
    const GMallocPtr<AtspiRange> range(atspi_text_get_selection(readable.get(), 0, rangeError.out()));
    ErrorSlot countError;
    const int before = atspi_text_get_character_count(readable.get(), countError.out());
    if (rangeError || countError || !range || range->start_offset == range->end_offset || watch.slow()) {
        return false;
    }
    const int start = std::min(range->start_offset, range->end_offset);
    const int end = std::max(range->start_offset, range->end_offset);
    const QByteArray utf8 = text.toUtf8();
    ErrorSlot deleteError;
    ErrorSlot insertError;
    if (!atspi_editable_text_delete_text(editable.get(), start, end, deleteError.out()) ||
        !atspi_editable_text_insert_text(editable.get(), start, utf8.constData(), int(utf8.size()),
                                         insertError.out())) {
        return false;
    }
    if (d->selection) {
        d->selection->clear();
    }
    ErrorSlot afterError;
    const int inserted = atspi_text_get_character_count(readable.get(), afterError.out()) - (before - (end - start));
    ErrorSlot readError;
    const GMallocPtr<char> written(
        inserted > 0 ? atspi_text_get_text(readable.get(), start, start + inserted, readError.out()) : nullptr);
    if (afterError || readError || !written || QString::fromUtf8(written.get()) != text) {
        return false;
    }
    ErrorSlot caretError;
    atspi_text_set_caret_offset(readable.get(), start + inserted, caretError.out());
    return true;
}

std::optional<AccessibilityBackend::TextMark> AtspiAccessibility::textMark(const Element& element)
{
    AtspiAccessible* accessible = atspiOf(element);
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (accessible == nullptr || watch.skip()) {
        return std::nullopt;
    }
    const Impl::ElementFacts& facts = d->facts(accessible);
    AtspiText* text = facts.text.get();
    if (!facts.role || *facts.role == ATSPI_ROLE_PASSWORD_TEXT || text == nullptr) {
        return std::nullopt;
    }
    ErrorSlot countError;
    const int length = atspi_text_get_character_count(text, countError.out());
    ErrorSlot selectionsError;
    const int selections = atspi_text_get_n_selections(text, selectionsError.out());
    if (countError || selectionsError || watch.slow()) {
        return std::nullopt;
    }
    if (selections == 0) {
        ErrorSlot caretError;
        const int caret = atspi_text_get_caret_offset(text, caretError.out());
        return caretError || caret < 0 ? std::nullopt
                                       : std::optional(TextMark{.start = caret, .end = caret, .length = length});
    }
    ErrorSlot rangeError;
    const GMallocPtr<AtspiRange> range(atspi_text_get_selection(text, 0, rangeError.out()));
    if (rangeError || !range || watch.slow()) {
        return std::nullopt;
    }
    const int start = std::min(range->start_offset, range->end_offset);
    const int end = std::max(range->start_offset, range->end_offset);
    // A selection spread over several objects has no one place in this object's text.
    if (d->selection && d->composite({.accessible = accessible, .text = text, .range = {start, end}}, watch)) {
        return std::nullopt;
    }
    return TextMark{.start = start, .end = end, .length = length};
}

std::optional<QString> AtspiAccessibility::textBetween(const Element& element, int start, int end)
{
    AtspiAccessible* accessible = atspiOf(element);
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (accessible == nullptr || watch.skip()) {
        return std::nullopt;
    }
    const Impl::ElementFacts& facts = d->facts(accessible);
    if (!facts.role || *facts.role == ATSPI_ROLE_PASSWORD_TEXT || !facts.text) {
        return std::nullopt;
    }
    ErrorSlot error;
    const GMallocPtr<char> read(atspi_text_get_text(facts.text.get(), start, end, error.out()));
    return error || !read ? std::nullopt : std::optional(QString::fromUtf8(read.get()));
}

std::optional<int> AtspiAccessibility::selectionLength(const Element& element)
{
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (watch.skip()) {
        return std::nullopt;
    }
    const auto selected = d->selectedRange(element, watch);
    return selected ? std::optional(selected->range.second - selected->range.first) : std::nullopt;
}

std::optional<AxRect> AtspiAccessibility::selectionBoundsFromTextMarkers(const Element& element)
{
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (watch.skip()) {
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
    const Pid pid = element->processId().value_or(0);
    const auto first = d->characterExtents(accessible, text, range.first, pid);
    if (!first) {
        return std::nullopt;
    }
    if (const auto known = d->selection->bounds(accessible, range);
        known && known->firstCharacter.width == first->width && known->firstCharacter.height == first->height) {
        AxRect moved = known->selection;
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
    AxRect selection = united(*first, *last);
    // Over several lines the two ends say nothing about the lines' widths: the range's own extents
    // do, else (GTK 4) the lines' own.
    if (last->y >= first->y + first->height && !watch.slow()) {
        std::optional<AxRect> whole;
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

std::optional<AxRect> AtspiAccessibility::selectionBoundsFromRange(const Element& element)
{
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (watch.skip()) {
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

std::optional<AxRect> AtspiAccessibility::elementFrame(const Element& element)
{
    AtspiAccessible* accessible = atspiOf(element);
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (watch.skip()) {
        return std::nullopt;
    }
    AtspiComponent* component = accessible != nullptr ? d->facts(accessible).component.get() : nullptr;
    if (component == nullptr || watch.slow()) {
        return std::nullopt;
    }
    ErrorSlot error;
    if (!d->lastFacts.windowCoordinates) {
        return toRect(atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, error.out()), error);
    }
    std::optional<AxRect> frame =
        toRect(atspi_component_get_extents(component, ATSPI_COORD_TYPE_WINDOW, error.out()), error);
    const auto origin = frame ? d->windowOrigin(accessible, element->processId().value_or(0)) : std::nullopt;
    if (!origin) {
        return std::nullopt;
    }
    return origin->onRoot(*frame);
}

std::optional<AxRect> AtspiAccessibility::windowFrame(const Element& element)
{
    const std::optional<Pid> pid = element ? element->processId() : std::nullopt;
    if (!pid || d->wayland || !d->windows.isConnected()) {
        return std::nullopt;
    }
    return d->windows.windowGeometry(*pid);
}

std::optional<QString> AtspiAccessibility::elementRole(const Element& element)
{
    AtspiAccessible* accessible = atspiOf(element);
    const UnresponsiveProcesses::Watch watch(d->unresponsive, element ? element->processId() : std::nullopt);
    if (watch.skip()) {
        return std::nullopt;
    }
    if (accessible == nullptr || !d->selection) {
        return std::nullopt;
    }
    return d->selection->role(accessible, [accessible] { return readRole(accessible); });
}

void AtspiAccessibility::dropCachedReads()
{
    d->lastFacts = {};
    d->lastComposite = {};
    if (d->selection) {
        d->selection->clear();
    }
}

void AtspiAccessibility::readAncestorAttributes(const Element& element)
{
    GObjectPtr<AtspiAccessible> current = refObject(atspiOf(element));
    // Bounded: a broken tree could point back at itself.
    for (int depth = 0; current && depth < ancestorLimit; ++depth) {
        ErrorSlot nameError;
        GMallocPtr<char> name(atspi_accessible_get_name(current.get(), nameError.out()));
        ErrorSlot parentError;
        GObjectPtr<AtspiAccessible> parent(atspi_accessible_get_parent(current.get(), parentError.out()));
        if (nameError || parentError) {
            break;
        }
        current = std::move(parent);
    }
}

void AtspiAccessibility::enableEnhancedUserInterface(const Element&)
{
    d->ensureEnabled();
}

void AtspiAccessibility::enableEnhancedUserInterfaceForRunningApps()
{
    ++d->enhancedPasses;
    d->ensureEnabled();
}

void AtspiAccessibility::setChangeListener(std::function<void()> changed)
{
    d->changed = std::move(changed);
}

bool AtspiAccessibility::isWindowPositionKnown(const Element& element)
{
    AtspiAccessible* accessible = atspiOf(element);
    return accessible == nullptr || !d->facts(accessible).windowRelative;
}

bool AtspiAccessibility::isUnresponsive(Pid pid)
{
    return d->unresponsive.isCoolingDown(pid);
}

int AtspiAccessibility::enhancedPassCount() const
{
    return d->enhancedPasses;
}

int AtspiAccessibility::selectionRangeReads() const
{
    return d->selection ? d->selection->rangeReads() : 0;
}

int AtspiAccessibility::selectionExtentsReads() const
{
    return d->extentsReads;
}

int AtspiAccessibility::focusSeedCount() const
{
    return d->focus ? d->focus->seedCount() : 0;
}

bool AtspiAccessibility::remembersProcess(Pid pid) const
{
    return (d->focus && d->focus->remembers(pid)) || (d->applications && d->applications->remembers(pid));
}

} // namespace parlomatic::platform
