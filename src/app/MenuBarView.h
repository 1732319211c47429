#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QMenu;

namespace parlomatic::selection {
class WatchControl;
} // namespace parlomatic::selection

namespace parlomatic::app {

class AppState;

// The status menu: sign in or out, check for updates, the preferred gender, the watcher's pause
// and applications, quit. Rebuilt from the session state's and the watch control's signals
// whenever a field it shows changes; it keeps no state of its own.
// Separators always stand, also two in a row when nobody is signed in. GUI thread only.
class MenuBarView : public QObject {
    Q_OBJECT
public:
    static constexpr const char* loadingTitle = "Loading...";
    static constexpr const char* signInTitle = "Sign In...";
    static constexpr const char* logOutTitle = "Log Out...";
    static constexpr const char* reconnectingTitle = "Reconnecting...";
    static constexpr const char* genderTitle = "Preferred Gender";
    static constexpr const char* quitTitle = "Quit Parlomatic";
    static constexpr const char* pauseTitle = "Pause for 1 Hour";
    static constexpr const char* resumeTitle = "Resume";
    // %1: the application's name.
    static constexpr const char* dontShowTitle = "Don't Show in %1";
    static constexpr const char* turnedOffTitle = "Turned Off In";
    static constexpr const char* shortcutsTitle = "Keyboard Shortcuts...";

    // `quit` ends the application. `appState` must outlive the view.
    MenuBarView(AppState& appState, std::function<void()> quit, QObject* parent = nullptr);
    ~MenuBarView() override;

    QMenu* menu() const { return m_menu.get(); }

    // Adds the watcher's items, followed by a separator, before "Start at Login": pause or resume,
    // "Don't Show in" the application the strip was last shown in, and the applications turned
    // off, each a checked item that turns it back on. `control` must outlive the view.
    void setWatchControl(selection::WatchControl* control);
    // Adds "Keyboard Shortcuts...", which runs `open`, before "Start at Login" from the next rebuild
    // on: set it before setWatchControl().
    void setShortcutsItem(std::function<void()> open);
    // Those items on their own, for `menu`; a choice takes effect once the menu has closed.
    static void addWatchItems(QMenu& menu, selection::WatchControl& control);

private:
    void rebuild();
    void later(std::function<void(AppState&)> step);

    AppState& m_appState;
    std::function<void()> m_quit;
    std::unique_ptr<QMenu> m_menu;
    selection::WatchControl* m_watchControl = nullptr;
    std::function<void()> m_openShortcuts;
};

} // namespace parlomatic::app
