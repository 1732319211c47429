#include "app/ParlomaticApp.h"

#include "app/Env.h"
#include "app/SignedOutSession.h"
#include "app/SystemBrowserSignIn.h"
#include "common/CurlHttpClient.h"
#include "common/Log.h"
#include "panels/ActionsWindow.h"
#include "panels/TranslateState.h"
#include "panels/TranslateWindow.h"
#include "platform/linux/AccessibilityBusStatus.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/Cld2LanguageRecognizer.h"
#include "platform/linux/X11Compositor.h"
#include "platform/linux/X11KeyPaster.h"
#include "selection/TextActions.h"
#include "selection/TextSelectionPoller.h"
#include "selection/WriteBack.h"
#include "service/Preferences.h"
#include "service/Translator.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QThreadPool>
#include <QTimer>

#include <cstdlib>
#include <string_view>

namespace parlomatic {

ParlomaticApp::ParlomaticApp() = default;

ParlomaticApp::~ParlomaticApp()
{
    // The poller holds a reference to the accessibility layer, and requests still running hold
    // the translator and the recogniser: those go last.
    m_poller.reset();
    QThreadPool::globalInstance()->waitForDone();
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
    const QString identifier = QString::fromStdString(Env::bundleIdentifier());
    m_poller = std::make_unique<TextSelectionPoller>(*m_accessibility, [&](TextSelectionPoller& poller) {
        auto window = std::make_unique<ActionsWindow>(poller, identifier);
        window->setCompositingActive(compositing);
        return window;
    });

    // Until sign-in lands, nobody is signed in: requests go out without a token.
    m_session = std::make_unique<SignedOutSession>();
    m_http = std::make_unique<CurlHttpClient>();
    m_translator = std::make_unique<Translator>(*m_http, Env::apiDomain());
    m_recognizer = std::make_unique<platform::Cld2LanguageRecognizer>();
    if (isWaylandSession()) {
        logError("Writing text back is not available on Wayland yet; Replace and Improve write nothing.");
    } else {
        m_keyPaster = std::make_unique<platform::X11KeyPaster>();
    }
    m_writeBack = std::make_unique<WriteBack>(*m_accessibility, m_keyPaster.get());
    Preferences& preferences = Preferences::standard();
    m_actions = std::make_unique<TextActions>(*m_session, *m_translator, *m_recognizer, preferences, *m_writeBack);
    m_translateState = std::make_unique<TranslateState>(*m_session, *m_translator, *m_recognizer, preferences);
    m_poller->setTranslatePanel(std::make_unique<TranslateWindow>(*m_translateState, identifier));
    m_poller->setSelectionActions(m_actions->selectionActions());
    m_poller->startPolling();
}

bool isWaylandSession()
{
    const char* type = std::getenv("XDG_SESSION_TYPE");
    const char* display = std::getenv("WAYLAND_DISPLAY");
    return (type != nullptr && std::string_view(type) == "wayland") || (display != nullptr && *display != '\0');
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
