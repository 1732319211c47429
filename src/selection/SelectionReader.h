#pragma once

#include "selection/AccessibilityBackend.h"
#include "selection/ApplicationIdentity.h"
#include "selection/PollStep.h"

#include <cstdint>
#include <optional>

namespace parlomatic::selection {

// What the accessibility side of one poll step read: everything the poller decides from. Holds the
// selected text, so it must never be logged as a whole.
struct SelectionReading {
    enum class Outcome : std::uint8_t {
        noFront,     // no front process
        turnedOff,   // an application the user turned the watcher off in: only its pid was read
        ownWindow,   // Parlomatic's own window in front
        noFocus,     // the front application has no focused element (or no accessibility tree)
        noSelection, // no rectangle, no role, a password field or a selection too long to read
        selection,   // a selection with its rectangle and role; its text may still be too short
    };
    Outcome outcome = Outcome::noFront;
    // pid, app, role, secure, rect, frame (for a degenerate rectangle), element, enhancedPass,
    // selectionTooLong, and the trimmed text.
    PollStep step;
    // The untrimmed selected text; nothing when the read failed.
    std::optional<QString> selectedText;
};

// What of a step is read past the front process, through the layer's reads one by one: the
// outcome (noFocus, noSelection or selection), the step's element, app, role, secure,
// selectionTooLong, rect, frame, misplaced and text, and the selected text.
SelectionReading readFocusedSelection(AccessibilityBackend& backend, Pid pid);

// The reads of one poll step, in the order the poller needs them, through the accessibility layer.
// Runs on the layer's own thread; keeps what it must remember from step to step (the previous front
// process), so one reader serves one layer.
class SelectionReader {
public:
    // Longer selections are not read: the text service takes request bodies up to 1 MiB, and
    // 100,000 characters stay under that even when every character needs six bytes of JSON. Reading
    // megabytes five times a second would also keep the application (and this thread) busy.
    static constexpr int maxSelectionLength = 100'000;

    explicit SelectionReader(Pid ownPid, ApplicationFilter filter = {}) : m_ownPid(ownPid), m_filter(std::move(filter))
    {}

    SelectionReading read(AccessibilityBackend& backend);

private:
    Pid m_ownPid;
    ApplicationFilter m_filter;
    Pid m_prevPid = 0;
};

} // namespace parlomatic::selection
