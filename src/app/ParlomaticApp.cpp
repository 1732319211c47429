#include "app/ParlomaticApp.h"

#include "app/Env.h"
#include "app/SystemBrowserSignIn.h"
#include "common/Log.h"
#include "panels/ActionsWindow.h"
#include "platform/linux/AccessibilityBusStatus.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/X11Compositor.h"
#include "selection/TextSelectionPoller.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdlib>

namespace parlomatic {

ParlomaticApp::ParlomaticApp() = default;

ParlomaticApp::~ParlomaticApp()
{
    // The poller holds a reference to the accessibility layer: it goes first.
    m_poller.reset();
    m_accessibility.reset();
}

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

    installSystemBrowserSignIn();
    checkAccessibility();
}

void ParlomaticApp::checkAccessibility()
{
    if (m_poller) {
        return;
    }
    if (platform::AccessibilityBusStatus::isEnabled().value_or(false)) {
        m_accessibilityTimer.reset();
        startWatching();
        return;
    }
    if (!m_accessibilityTimer) {
        logError("The desktop's accessibility bus is off; Parlomatic watches selections once it is on.");
        m_accessibilityTimer = std::make_unique<QTimer>();
        m_accessibilityTimer->setInterval(1000);
        QObject::connect(m_accessibilityTimer.get(), &QTimer::timeout, this, [this] { checkAccessibility(); });
        m_accessibilityTimer->start();
    }
}

void ParlomaticApp::startWatching()
{
    m_accessibility = std::make_unique<platform::AtspiAccessibility>();
    m_accessibility->enableEnhancedUserInterfaceForRunningApps();
    const bool compositing = platform::isCompositingActive();
    m_poller = std::make_unique<TextSelectionPoller>(*m_accessibility, [compositing](TextSelectionPoller& poller) {
        auto window = std::make_unique<ActionsWindow>(poller, QString::fromStdString(Env::bundleIdentifier()));
        window->setCompositingActive(compositing);
        return window;
    });
    m_poller->startPolling();
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
