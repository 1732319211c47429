#pragma once

#include "selection/GlobalShortcuts.h"

#include <QObject>
#include <QString>

#include <functional>
#include <set>

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::selection {

class Notices;
class WatchControl;

// Holds the user's shortcuts while there is something to run them (a watcher: someone is signed in)
// and the watcher is not paused, and lets them go otherwise, so that other programs get those keys.
// Tells the user once per run of Parlomatic of each combination another program holds. GUI thread only.
class KeyboardShortcuts : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(ShortcutAction)>;

    // `backend` is null where the desktop binds the keys itself (sway's bindsym runs
    // `parlomatic --translate`). Every reference must outlive this object.
    KeyboardShortcuts(GlobalShortcuts* backend, service::Preferences& preferences, WatchControl& control,
                      Notices& notices, QObject* parent = nullptr);
    ~KeyboardShortcuts() override;

    // What runs the actions; an empty handler lets the keys go.
    void setHandler(Handler handler);
    // While suspended no key is held (the user is typing new ones into the shortcuts window).
    void setSuspended(bool suspended);
    // Binds the stored shortcuts anew (the user changed them).
    void reload();
    // Runs `action` as its keys would (a hand-over from `parlomatic --<action>`): with no handler the
    // user is told that there is nothing to act yet,
    // and while paused that it is paused.
    void run(ShortcutAction action);

    static constexpr const char* takenMessage =
        "%1 (%2) is already used by another program, so Parlomatic cannot use it. Choose other keys in "
        "Parlomatic's menu, Keyboard Shortcuts..., or free them in that program.";
    static constexpr const char* pausedMessage =
        "Parlomatic is paused: choose Resume in its menu to act on a selection again.";
    static constexpr const char* notWatchingMessage =
        "Parlomatic acts on a selection only while you are signed in: choose Sign In... in its menu.";

private:
    void tellTaken(const std::vector<GlobalShortcuts::Binding>& bindings);

    service::Preferences& m_preferences;
    WatchControl& m_control;
    Notices& m_notices;
    GlobalShortcuts* m_backend;
    Handler m_handler;
    bool m_suspended = false;
    // The combinations told as held by another program (portable text).
    std::set<QString> m_toldTaken;
};

} // namespace parlomatic::selection
