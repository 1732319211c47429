#pragma once

#include <QObject>

#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace parlomatic {

// The program's shell: the tray icon and its menu. It owns everything that lives for the process.
class ParlomaticApp : public QObject {
    Q_OBJECT

public:
    ParlomaticApp();
    ~ParlomaticApp() override;

    void start();

private:
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_trayIcon;
};

// Whether a graphical session can be reached (an X11 or Wayland display, or an explicit Qt platform).
bool hasGraphicalSession();

} // namespace parlomatic
