#pragma once

#include "platform/linux/x11/X11Display.h"
#include "selection/GlobalShortcuts.h"

#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace parlomatic::platform {

// Global shortcuts as passive key grabs on the root window, on a display connection of its own whose
// events are read from the GUI thread's event loop. Each combination is grabbed once per state of the
// lock keys (none, Num Lock, Caps Lock, both), so that it works whatever the lights show; a combination
// another client holds fails as a whole. Without a display nothing is held.
class X11GlobalShortcuts final : public selection::GlobalShortcuts {
public:
    X11GlobalShortcuts();
    ~X11GlobalShortcuts() override;
    X11GlobalShortcuts(const X11GlobalShortcuts&) = delete;
    X11GlobalShortcuts& operator=(const X11GlobalShortcuts&) = delete;

    std::vector<Binding> bind(const std::vector<Binding>& bindings) override;
    void setActivated(Activated activated) override { m_activated = std::move(activated); }

private:
    struct Grab {
        selection::ShortcutAction action;
        unsigned keycode;
        unsigned modifiers;
    };
    void readEvents();
    void ungrabAll();
    // The modifier bits of Num Lock and Caps Lock, in every combination, none first.
    std::vector<unsigned> lockVariants() const;

    X11Display m_display;
    std::unique_ptr<QSocketNotifier> m_events;
    std::unique_ptr<QTimer> m_rebind;
    std::vector<Grab> m_grabs;
    // What bind() was last asked for: a new keyboard map moves the keys, and they are grabbed anew.
    std::vector<Binding> m_bindings;
    Activated m_activated;
};

} // namespace parlomatic::platform
