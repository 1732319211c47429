#include "platform/linux/atspi/AtspiAccessibilityImpl.h"

#include "platform/linux/atspi/AccessibilityBusStatus.h"
#include "platform/linux/atspi/AtspiRoles.h"
#include "platform/linux/desktop/ApplicationProcess.h"
#include "selection/LogCategories.h"

#include <QList>

#include <algorithm>

#include <unistd.h>

namespace parlomatic::platform {

namespace {

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
AtspiAccessibility::Impl::selectedRange(const selection::Element& element, const UnresponsiveProcesses::Watch& watch)
{
    AtspiAccessible* accessible = atspiOf(element);
    if (accessible == nullptr) {
        return std::nullopt;
    }
    // A password field's range and extents tell the password's length: neither is read.
    AtspiText* text = readableText(accessible);
    if (text == nullptr || lastFacts.windowRelative || !selection || watch.slow()) {
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

const CompositeSelection* AtspiAccessibility::Impl::precedingComposite(const selection::Element& element,
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
            const std::optional<selection::Pid> pid = readProcessId(accessible);
            // A native window is placed from what its compositor tells, in the toolkit's window
            // coordinates (its screen coordinates are window-relative there too).
            const bool xwayland = pid && windows.windowGeometry(*pid);
            lastFacts.windowRelative = !xwayland && !(pid && compositor && compositor->focusedWindow(*pid));
            lastFacts.windowCoordinates = !xwayland && !lastFacts.windowRelative;
            const auto placedBy = xwayland                      ? WindowPlacedBy::x11
                                  : lastFacts.windowCoordinates ? WindowPlacedBy::compositor
                                                                : WindowPlacedBy::nobody;
            if (pid && (toldPlacement.first != *pid || toldPlacement.second != placedBy)) {
                toldPlacement = {*pid, placedBy};
                qCDebug(atspiLog).noquote()
                    << QStringLiteral("pid %1: %2")
                           .arg(*pid)
                           .arg(placedBy == WindowPlacedBy::x11
                                    ? QStringLiteral("an XWayland window, placed through X11")
                                : placedBy == WindowPlacedBy::compositor
                                    ? QStringLiteral("a native Wayland window the compositor reports")
                                : compositor && !compositor->hasAnswered()
                                    ? QStringLiteral("a native Wayland window; the compositor has not told where its "
                                                     "windows are yet, so no strip is placed until it does")
                                    : QStringLiteral("a native Wayland window the compositor does not report: its "
                                                     "rectangles are relative to the window, so no strip is placed"));
            }
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

AtspiAccessibility::AtspiAccessibility(const Session& session, std::unique_ptr<WaylandWindows> compositor)
    : d(std::make_unique<Impl>())
{
    d->wayland = session.wayland();
    d->compositorKind = session.compositor;
    d->compositor = d->wayland ? std::move(compositor) : nullptr;
    DBusConnection* bus = atspi_get_a11y_bus();
    const int status = atspi_init();
    d->available = (status == 0 || status == 1) && bus != nullptr;
    if (!d->available) {
        return;
    }
    d->bus.reset(dbus_connection_ref(bus));
    atspi_set_timeout(callTimeoutMs, callTimeoutMs);
    if (d->wayland && !d->compositor) {
        WaylandWindows::tellUserOnce(d->compositorKind);
    }
    qCDebug(sessionLog) << (!d->wayland ? "X11 session: windows are placed through X11"
                            : d->compositor
                                ? "Wayland session: XWayland windows are placed through X11, native ones from the "
                                  "compositor's reports"
                                : "Wayland session: only XWayland windows can be placed (no compositor reports)");
    Impl* impl = d.get();
    d->focus = std::make_unique<AtspiFocusTracker>();
    d->focus->setOnChange([impl] { impl->announceChange(); });
    d->selection = std::make_unique<AtspiSelectionCache>();
    d->selection->setOnSelectionChange([impl] { impl->announceChange(); });
    d->applications = std::make_unique<AtspiApplications>(
        AtspiApplications::Callbacks{
            // A newly started application is switched on like the others (one switch for all of them).
            .launched = [impl] { impl->ensureEnabled(); },
            .left = [impl](const std::function<bool(selection::Pid)>& gone) { impl->focus->prune(gone); },
            .activated = [impl] { impl->announceChange(); },
        },
        applicationProcess());
}

AtspiAccessibility::~AtspiAccessibility() = default;

bool AtspiAccessibility::isConnected()
{
    return d->available && d->bus && dbus_connection_get_is_connected(d->bus.get()) != FALSE;
}

bool AtspiAccessibility::isResponding(selection::Pid pid)
{
    return !d->unresponsive.isCoolingDown(pid);
}

bool AtspiAccessibility::isAvailable() const
{
    return d->available;
}

std::optional<selection::Pid> AtspiAccessibility::frontmostWindowOwnerPid()
{
    // On Wayland the X11 list holds only XWayland windows: the front application comes from AT-SPI.
    if (d->windows.isConnected() && !d->wayland) {
        return d->windows.frontmostWindowOwnerPid();
    }
    // The compositor knows which window has the keyboard (a toolkit may announce no focus when its
    // window comes to the front).
    if (d->compositor) {
        if (const std::optional<selection::Pid> focused = d->compositor->focusedProcess()) {
            return focused;
        }
    }
    // Otherwise: where the focus went last, else (before any focus event) the application whose
    // top-level says it is active.
    if (d->focus) {
        if (const std::optional<selection::Pid> focused = d->focus->lastFocusedProcess()) {
            return focused;
        }
    }
    return d->applications ? d->applications->activeApplication(d->unresponsive) : std::nullopt;
}

selection::Element AtspiAccessibility::applicationElement(selection::Pid pid)
{
    if (!d->available || d->unresponsive.isCoolingDown(pid)) {
        return {};
    }
    return makeElement(d->applications->find(pid), pid);
}

selection::Element AtspiAccessibility::focusedElement(const selection::Element& application)
{
    AtspiAccessible* app = atspiOf(application);
    const std::optional<selection::Pid> pid = application ? application->processId() : std::nullopt;
    if (app == nullptr || !pid || !d->focus) {
        return {};
    }
    UnresponsiveProcesses::Watch watch(d->unresponsive, pid);
    if (watch.skip()) {
        return {};
    }
    const int seeds = d->focus->seedCount();
    selection::Element focused = makeElement(d->focus->focusedIn(app, *pid), pid);
    // Seeding from a large tree may take long; an application that did yield its focus is not hung.
    if (focused && d->focus->seedCount() != seeds) {
        watch.answered();
    }
    return focused;
}

std::optional<QString> AtspiAccessibility::bundleIdentifier(selection::Pid pid)
{
    // The name is asked of the application itself until one read succeeds.
    const UnresponsiveProcesses::Watch watch(d->unresponsive, pid);
    if (watch.skip() || !d->applications) {
        return std::nullopt;
    }
    return d->applications->name(pid);
}

std::optional<QString> AtspiAccessibility::elementRole(const selection::Element& element)
{
    const auto read = d->startRead(element);
    if (read.skip() || !d->selection) {
        return std::nullopt;
    }
    AtspiAccessible* accessible = read.accessible;
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

void AtspiAccessibility::readAncestorAttributes(const selection::Element& element)
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

void AtspiAccessibility::enableEnhancedUserInterface(const selection::Element&)
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

bool AtspiAccessibility::isWindowPositionKnown(const selection::Element& element)
{
    AtspiAccessible* accessible = atspiOf(element);
    return accessible == nullptr || !d->facts(accessible).windowRelative;
}

bool AtspiAccessibility::hasCompositorAnswered()
{
    return !d->compositor || d->compositor->hasAnswered();
}

bool AtspiAccessibility::isUnresponsive(selection::Pid pid)
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

bool AtspiAccessibility::remembersProcess(selection::Pid pid) const
{
    return (d->focus && d->focus->remembers(pid)) || (d->applications && d->applications->remembers(pid));
}

} // namespace parlomatic::platform
