#include "selection/SelectionReader.h"

#include "selection/PanelPlacement.h"

namespace parlomatic::selection {

namespace {

// Word needs its ancestor chain read before it answers selection queries.
constexpr QLatin1StringView wordBundleIdentifier("com.microsoft.Word");

// Whether the rectangle's centre lies inside the frame.
bool holdsCentre(const AxRect& frame, const AxRect& rect)
{
    const double x = rect.x + rect.width / 2;
    const double y = rect.y + rect.height / 2;
    return x >= frame.x && x <= frame.x + frame.width && y >= frame.y && y <= frame.y + frame.height;
}

SelectionReading ended(SelectionReading reading, SelectionReading::Outcome outcome)
{
    reading.outcome = outcome;
    return reading;
}

} // namespace

SelectionReading readFocusedSelection(AccessibilityBackend& backend, Pid pid)
{
    using Outcome = SelectionReading::Outcome;
    SelectionReading reading;
    PollStep& step = reading.step;
    const auto done = [&reading](Outcome outcome) { return ended(std::move(reading), outcome); };

    const Element application = backend.applicationElement(pid);
    const Element focused = application ? backend.focusedElement(application) : Element{};
    if (!focused) {
        return done(Outcome::noFocus);
    }
    step.element = focused;
    step.app = backend.bundleIdentifier(pid);
    if (step.app && *step.app == wordBundleIdentifier) {
        backend.readAncestorAttributes(focused);
    }

    // A password field is told as one before anything of it is read: its range and rectangle
    // would tell the password's length. The role needs neither.
    step.role = backend.elementRole(focused);
    if (step.role && isSecureRole(*step.role)) {
        step.secure = true;
        return done(Outcome::noSelection);
    }
    // The length costs no text: a huge selection is neither fetched nor measured.
    if (const std::optional<int> length = backend.selectionLength(focused);
        length && *length > SelectionReader::maxSelectionLength) {
        step.selectionTooLong = true;
        return done(Outcome::noSelection);
    }

    step.rect = backend.selectionBoundsFromTextMarkers(focused);
    if (!step.rect) {
        step.rect = backend.selectionBoundsFromRange(focused);
    }
    if (!step.rect || !step.role) {
        return done(Outcome::noSelection);
    }
    // Some toolkits report a selection relative to a widget of theirs, not the screen: such a
    // rectangle is not trusted; the strip stands on the element as over a caret, or is not shown.
    // Outside the window, a rectangle is taken for one of those when it lies beside the element
    // in both directions and falls inside it once moved by the element's origin: a selection
    // scrolled out of view (beside the element in one direction only) is followed.
    if (!isDegenerate(*step.rect)) {
        if (const std::optional<AxRect> window = backend.windowFrame(focused);
            window && !holdsCentre(*window, *step.rect)) {
            const std::optional<AxRect> frame = backend.elementFrame(focused);
            const double x = step.rect->x + step.rect->width / 2;
            const double y = step.rect->y + step.rect->height / 2;
            const bool relative = frame && (x < frame->x || x > frame->x + frame->width) &&
                                  (y < frame->y || y > frame->y + frame->height) &&
                                  holdsCentre(*frame, AxRect{.x = step.rect->x + frame->x,
                                                             .y = step.rect->y + frame->y,
                                                             .width = step.rect->width,
                                                             .height = step.rect->height});
            if (relative && !holdsCentre(*window, *frame)) {
                step.misplaced = PollStep::Misplaced::notShown;
                step.rect.reset();
                return done(Outcome::noSelection);
            }
            if (relative) {
                step.misplaced = PollStep::Misplaced::onElementFrame;
                step.frame = frame;
                step.rect = AxRect{.x = frame->x, .y = frame->y, .width = 0, .height = 0};
            }
        }
    }
    reading.selectedText = backend.selectedText(focused);
    step.text = trimmedSelection(reading.selectedText.value_or(QString()));
    if (!step.frame && isDegenerate(*step.rect) && userPerceivedLength(step.text, 2) >= 2) {
        step.frame = backend.elementFrame(focused);
    }
    return done(Outcome::selection);
}

SelectionReading AccessibilityBackend::readFocused(Pid pid)
{
    return readFocusedSelection(*this, pid);
}

SelectionReading SelectionReader::read(AccessibilityBackend& backend)
{
    using Outcome = SelectionReading::Outcome;
    SelectionReading reading;
    PollStep& step = reading.step;
    const auto done = [&reading](Outcome outcome) { return ended(std::move(reading), outcome); };

    step.pid = backend.frontmostWindowOwnerPid();
    if (!step.pid) {
        return done(Outcome::noFront);
    }
    const Pid pid = *step.pid;
    // Decided before anything else is asked (the pass over all applications included): the user
    // turned the watcher off there so that nothing of it is read, not its text, range or place.
    if (m_filter.identities && pid != m_ownPid) {
        step.application = m_filter.identities->identify(pid);
        if (step.application && m_filter.isTurnedOff && m_filter.isTurnedOff(step.application->id)) {
            step.turnedOff = true;
            return done(Outcome::turnedOff);
        }
    }
    if (pid != m_prevPid) {
        backend.enableEnhancedUserInterfaceForRunningApps();
        step.enhancedPass = true;
        m_prevPid = pid;
    }
    // Our own ordinary windows: checked by process, before any read of our own tree (which would
    // wait on our own GUI thread).
    if (pid == m_ownPid) {
        return done(Outcome::ownWindow);
    }

    SelectionReading focused = backend.readFocused(pid);
    focused.step.pid = step.pid;
    focused.step.application = std::move(step.application);
    focused.step.enhancedPass = step.enhancedPass;
    if (focused.step.application && focused.step.application->name.isEmpty()) {
        focused.step.application->name =
            focused.step.app.value_or(focused.step.application->id.section(QLatin1Char('/'), -1));
    }
    return focused;
}

} // namespace parlomatic::selection
