#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QMenu;

namespace parlomatic {

class AppState;

// The status menu: sign in or out, check for updates, the preferred gender, quit. Rebuilt from
// the session state's signals whenever a field it shows changes; it keeps no state of its own.
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

    // `quit` ends the application. `appState` must outlive the view.
    MenuBarView(AppState& appState, std::function<void()> quit, QObject* parent = nullptr);
    ~MenuBarView() override;

    QMenu* menu() const { return m_menu.get(); }

private:
    void rebuild();
    void later(std::function<void(AppState&)> step);

    AppState& m_appState;
    std::function<void()> m_quit;
    std::unique_ptr<QMenu> m_menu;
};

} // namespace parlomatic
