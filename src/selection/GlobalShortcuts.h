#pragma once

#include "selection/Shortcuts.h"

#include <QKeySequence>

#include <functional>
#include <vector>

namespace parlomatic::selection {

// Keys that reach Parlomatic whichever application has the keyboard, held by the desktop's own means
// (a key grab on X11, GNOME Shell's extension of ours, the desktop's global-shortcuts portal). GUI
// thread only.
class GlobalShortcuts {
public:
    struct Binding {
        ShortcutAction action;
        QKeySequence keys;
    };
    using Activated = std::function<void(ShortcutAction)>;
    using Refused = std::function<void(const std::vector<Binding>&)>;

    virtual ~GlobalShortcuts() = default;

    // Holds exactly `bindings` from now on (an empty list lets every key go); a binding with empty
    // keys is skipped. Returns those another program holds already, which stay unheld.
    virtual std::vector<Binding> bind(const std::vector<Binding>& bindings) = 0;
    // Runs when the user presses the keys of a held binding.
    virtual void setActivated(Activated activated) = 0;
    // Where a backend that learns only later (from another process) that keys are held elsewhere tells
    // which; bind()'s answer is then empty.
    virtual void setRefused(const Refused& /*refused*/) {}

protected:
    GlobalShortcuts() = default;
    GlobalShortcuts(const GlobalShortcuts&) = default;
    GlobalShortcuts& operator=(const GlobalShortcuts&) = default;
};

} // namespace parlomatic::selection
