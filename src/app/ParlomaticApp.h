#pragma once

#include <QObject>

#include <memory>

class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace parlomatic {

class AccessibilityBackend;
class HttpClient;
class KeyPaster;
class LanguageRecognizer;
class Session;
class TextActions;
class TextSelectionPoller;
class TranslateState;
class Translator;
class WriteBack;

// The program's shell: the tray icon and its menu, and the selection watcher once the desktop's
// accessibility bus is switched on. It owns everything that lives for the process.
class ParlomaticApp : public QObject {
    Q_OBJECT

public:
    ParlomaticApp();
    ~ParlomaticApp() override;

    void start();

private:
    // Starts the watcher when the accessibility bus is on; until then asks again every second.
    void checkAccessibility();
    void startWatching();

    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
    std::unique_ptr<QTimer> m_accessibilityTimer;
    std::unique_ptr<Session> m_session;
    std::unique_ptr<HttpClient> m_http;
    std::unique_ptr<Translator> m_translator;
    std::unique_ptr<LanguageRecognizer> m_recognizer;
    std::unique_ptr<AccessibilityBackend> m_accessibility;
    std::unique_ptr<KeyPaster> m_keyPaster;
    std::unique_ptr<WriteBack> m_writeBack;
    std::unique_ptr<TextActions> m_actions;
    std::unique_ptr<TranslateState> m_translateState;
    std::unique_ptr<TextSelectionPoller> m_poller;
};

// Whether a graphical session can be reached (an X11 or Wayland display, or an explicit Qt platform).
bool hasGraphicalSession();
// Whether the desktop session is a Wayland one (where keys cannot be sent to other applications).
bool isWaylandSession();

} // namespace parlomatic
