#pragma once

#include "app/parts/PlatformParts.h"

#include <QObject>

#include <memory>

class QSystemTrayIcon;

namespace parlomatic {
class HttpClient;
} // namespace parlomatic

namespace parlomatic::selection {
class GlobalShortcuts;
class KeyboardShortcuts;
class Notices;
class WatchControl;
} // namespace parlomatic::selection

namespace parlomatic::service {
class UserMetadata;
} // namespace parlomatic::service

namespace parlomatic::app {

class AppState;
class MenuBarView;
class ShortcutsWindow;

// The program's shell (the application delegate): owns the session state for the whole process,
// the tray icon with the status menu, and hands the session state its updater once launched.
class ParlomaticApp : public QObject {
    Q_OBJECT

public:
    explicit ParlomaticApp(platform::Session session);
    ~ParlomaticApp() override;

    // Builds the session state (which starts its start-up renewal), shows the tray icon and starts
    // the updater.
    void start();
    // A later launch handed over to this one.
    void showAlreadyRunning();
    // A later launch asked for an action on the selection ("translate", "replace", "improve").
    void runAction(const QString& name);

private:
    // The tray icon dimmed while the watcher is paused, its tooltip saying until when.
    void showPause();
    void openShortcutsWindow();

    PlatformParts m_parts;
    std::shared_ptr<HttpClient> m_http;
    // Before the session state: the watcher it starts is governed by it.
    std::unique_ptr<selection::WatchControl> m_watchControl;
    std::unique_ptr<selection::Notices> m_desktopNotices;
    std::unique_ptr<selection::Notices> m_notices;
    // Before the watcher, which hands them its actions while it runs.
    std::unique_ptr<selection::GlobalShortcuts> m_globalShortcuts;
    // What the shortcuts window says of how this desktop holds the keys.
    QString m_shortcutsNote;
    std::unique_ptr<selection::KeyboardShortcuts> m_shortcuts;
    std::unique_ptr<ShortcutsWindow> m_shortcutsWindow;
    std::unique_ptr<AppState> m_appState;
    std::unique_ptr<MenuBarView> m_menuView;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
};

} // namespace parlomatic::app
