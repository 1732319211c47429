#include "app/ParlomaticApp.h"

#include "common/Log.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include <cstdlib>

namespace parlomatic {

ParlomaticApp::ParlomaticApp() = default;
ParlomaticApp::~ParlomaticApp() = default;

void ParlomaticApp::start()
{
    QIcon icon(QStringLiteral(":/parlomatic.svg"));
    icon.setIsMask(true); // a monochrome icon that the tray tints for light and dark panels

    m_menu = std::make_unique<QMenu>();
    QAction* quit = m_menu->addAction(QStringLiteral("Quit Parlomatic"));
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit);

    m_trayIcon = std::make_unique<QSystemTrayIcon>(icon);
    m_trayIcon->setToolTip(QStringLiteral("Parlomatic"));
    m_trayIcon->setContextMenu(m_menu.get());
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        logError("No system tray is available; Parlomatic keeps running without its icon.");
    }
    m_trayIcon->show();
}

bool hasGraphicalSession()
{
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

} // namespace parlomatic
