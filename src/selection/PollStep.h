#pragma once

#include "selection/ActionState.h"
#include "selection/ApplicationIdentity.h"
#include "selection/axUtils.h"

#include <QRect>
#include <QString>

#include <cstdint>
#include <optional>
#include <string_view>

namespace parlomatic::selection {

// What one poll step saw and what it did with the actions panel. Holds the selected text, so it
// must never be logged as a whole.
struct PollStep {
    enum class Decision : std::uint8_t {
        unchanged, // no front process, or Parlomatic's own window in front
        hide,      // both panels closed: no focus, rectangle, role, a password field, < 2 characters, too many,
                   // or an application the user turned the watcher off in
        paused,    // a valid selection the user dismissed; the panel stays hidden
        move,      // the open panel follows the selection
        show,      // the panel was hidden and is shown now
    };

    std::optional<Pid> pid;
    std::optional<QString> app;
    // The front application as the user's choices know it; its name falls back on `app`.
    std::optional<ApplicationIdentity> application;
    // The user turned the watcher off in that application: nothing else of it was read.
    bool turnedOff = false;
    std::optional<QString> role;
    bool secure = false;
    // Trimmed selection (empty when none was read).
    QString text;
    std::optional<AxRect> rect;
    std::optional<AxRect> frame;
    std::optional<ActionType> actionType;
    Decision decision = Decision::unchanged;
    // The frame applied to the actions panel in this step (Qt logical coordinates).
    std::optional<QRect> panel;
    // The focused element the step read from, if it got that far.
    Element element;
    // The enhanced accessibility pass ran in this step (the front process changed).
    bool enhancedPass = false;
    // Where the strip was placed when the selection's rectangle lay outside its window (a toolkit
    // that reports it relative to a widget): on the element's frame, or nowhere.
    enum class Misplaced : std::uint8_t { no, onElementFrame, notShown };
    Misplaced misplaced = Misplaced::no;
    // The selection is longer than the watcher reads (SelectionReader::maxSelectionLength): no strip.
    bool selectionTooLong = false;
};

std::string_view decisionName(PollStep::Decision decision);

} // namespace parlomatic::selection
