#include "app/ParlomaticApp.h"

#include "accessibility/RemoteAccessibility.h"
#include "app/AccessibilityPrompt.h"
#include "app/AppState.h"
#include "app/Env.h"
#include "app/MenuBarView.h"
#include "app/ShortcutsWindow.h"
#include "app/SystemBrowserSignIn.h"
#include "app/UpdaterController.h"
#include "common/Clock.h"
#include "common/CurlHttpClient.h"
#include "common/Log.h"
#include "identity/CredentialsManager.h"
#include "identity/IdentityAuthentication.h"
#include "identity/IdentityWebAuth.h"
#include "identity/keychain/KeychainStore.h"
#include "panels/ActionsWindow.h"
#include "panels/FloatingWindow.h"
#include "panels/TranslateState.h"
#include "panels/TranslateWindow.h"
#include "platform/linux/desktop/DesktopNotifications.h"
#include "platform/linux/desktop/PortalGlobalShortcuts.h"
#include "platform/linux/desktop/ProcApplicationIdentities.h"
#include "platform/linux/desktop/SecretServiceKeychain.h"
#include "platform/linux/x11/X11Compositor.h"
#include "selection/AccessibilityThread.h"
#include "selection/KeyboardActions.h"
#include "selection/KeyboardShortcuts.h"
#include "selection/LogCategories.h"
#include "selection/TextActions.h"
#include "selection/TextSelectionPoller.h"
#include "selection/WatchControl.h"
#include "selection/WriteBack.h"
#include "service/Cld2LanguageRecognizer.h"
#include "service/Preferences.h"
#include "service/Translator.h"
#include "service/UserMetadata.h"

#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QIcon>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QThreadPool>
#include <QTimer>

#include <cstdlib>
#include <filesystem>

namespace parlomatic::app {
namespace {

// The selection watcher: the accessibility layer it reads through, the poller with both panels, and
// the actions behind the strip's buttons, which read the token through the session state.
class SelectionWatcher : public QObject {
public:
    SelectionWatcher(const PlatformParts& parts, service::Session& session, HttpClient& http,
                     selection::WatchControl& control, selection::KeyboardShortcuts& shortcuts)
        : m_shortcuts(shortcuts),
          m_helpers(platform::RemoteAccessibility::Launcher::installedProgram(),
                    [this](const QString& message) {
                        // From the layer's thread: told on the GUI thread.
                        QTimer::singleShot(0, this, [this, message] {
                            m_desktopNotices.tell(selection::NoticeCause::accessibility, message);
                        });
                    }),
          m_accessibility(std::make_unique<selection::AccessibilityThread>(
              [this] {
                  auto layer = m_helpers.make();
                  layer->enableEnhancedUserInterfaceForRunningApps();
                  return layer;
              },
              true)),
          m_translator(http, service::ApiDomain([] { return Env::apiDomain(); }))
    {
        const bool compositing = platform::isCompositingActive();
        const bool placeThemselves = parts.panelsPlaceThemselves();
        const QString identifier = QString::fromStdString(Env::bundleIdentifier());
        m_poller = std::make_unique<selection::TextSelectionPoller>(
            *m_accessibility, [&](selection::TextSelectionPoller& poller) {
                auto window = std::make_unique<panels::ActionsWindow>(poller, identifier);
                window->setCompositingActive(compositing);
                if (placeThemselves) {
                    placeByOwnCoordinates(*window);
                }
                return window;
            });
        // On Wayland our X11 keys reach XWayland windows only: native ones get a paste through the
        // compositor where it lets us, else their element written.
        m_keyPaster = parts.keyPaster();
        if (parts.session().wayland()) {
            m_windowPaster = parts.windowPaster();
            qCDebug(sessionLog) << "Wayland session: our X11 keys reach XWayland windows only; native windows get"
                                << (m_windowPaster ? "the compositor's paste" : "their element written, if it lets us");
        } else {
            qCDebug(sessionLog) << "X11 session: our keys paste into every window; compositing"
                                << (compositing ? "on" : "off");
        }
        m_writeBack = std::make_unique<selection::WriteBack>(*m_accessibility, m_keyPaster.get(), m_windowPaster.get());
        service::Preferences& preferences = service::Preferences::standard();
        m_actions =
            std::make_unique<selection::TextActions>(session, m_translator, m_recognizer, preferences, *m_writeBack);
        m_actions->setNotices(&m_notices);
        m_translateState = std::make_unique<panels::TranslateState>(session, m_translator, m_recognizer, preferences);
        auto translatePanel = std::make_unique<panels::TranslateWindow>(*m_translateState, identifier);
        translatePanel->setCompositingActive(compositing);
        if (placeThemselves) {
            placeByOwnCoordinates(*translatePanel);
        }
        m_poller->setTranslatePanel(std::move(translatePanel));
        m_poller->setSelectionActions(m_actions->selectionActions());
        control.govern(*m_poller, std::make_shared<platform::ProcApplicationIdentities>());
        m_keyboardActions = std::make_unique<selection::KeyboardActions>(*m_poller, preferences);
        m_keyboardActions->setNotices(&m_notices);
        m_poller->startPolling();
        m_shortcuts.setHandler(
            [actions = m_keyboardActions.get()](selection::ShortcutAction action) { actions->run(action); });
    }
    ~SelectionWatcher() override
    {
        // Signed out: the keys go back to the other programs.
        m_shortcuts.setHandler({});
        m_keyboardActions.reset();
        // The poller reads through the accessibility layer, and requests still running hold the
        // translator and the recogniser: those go last.
        m_poller.reset();
        QThreadPool::globalInstance()->waitForDone();
    }

private:
    selection::KeyboardShortcuts& m_shortcuts;
    // Before the notices it tells through: destroyed after the layer's thread has ended.
    platform::DesktopNotifications m_desktopNotices;
    platform::RemoteAccessibility::Launcher m_helpers;
    std::unique_ptr<selection::AccessibilityThread> m_accessibility;
    service::Translator m_translator;
    service::Cld2LanguageRecognizer m_recognizer;
    selection::ThrottledNotices m_notices{m_desktopNotices, systemClock()};
    std::unique_ptr<selection::KeyPaster> m_keyPaster;
    std::unique_ptr<selection::WindowPaster> m_windowPaster;
    std::unique_ptr<selection::WriteBack> m_writeBack;
    std::unique_ptr<selection::TextActions> m_actions;
    std::unique_ptr<panels::TranslateState> m_translateState;
    std::unique_ptr<selection::TextSelectionPoller> m_poller;
    std::unique_ptr<selection::KeyboardActions> m_keyboardActions;
};

std::shared_ptr<identity::CredentialsManager> makeCredentialsManager(std::shared_ptr<HttpClient> http)
{
    auto authentication = identity::makeAuthentication(std::move(http));
    auto keychain = std::make_shared<identity::KeychainStore>(std::make_shared<platform::SecretServiceKeychain>(),
                                                              Env::bundleIdentifier());
    return std::make_shared<identity::CredentialsManager>(std::move(authentication), "credentials",
                                                          std::move(keychain));
}

// The browser sign-in with the deployment's values, in an ephemeral session.
void signIn(const std::shared_ptr<HttpClient>& http, std::function<void(SignInResult)> done)
{
    auto webAuth = identity::makeWebAuth(http);
    webAuth->scope(Env::authScope())
        .audience(Env::authAudience())
        .redirectURL(Env::authRedirectURLText())
        .enableEphemeralSession();
    webAuth->start([webAuth, done = std::move(done)](identity::WebAuth::Result result) {
        if (result) {
            done(std::move(*result));
        } else {
            // The message only: a cause may hold a token's text or a service's answer.
            done(std::unexpected(result.error().message()));
        }
    });
}

// $XDG_STATE_HOME/parlomatic/sign-out-pending (~/.local/state when unset).
std::filesystem::path signOutPendingFile()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    std::filesystem::path base;
    if (state && std::filesystem::path(state).is_absolute()) {
        base = state;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".local" / "state";
    } else {
        return {};
    }
    return base / "parlomatic" / "sign-out-pending";
}

} // namespace

ParlomaticApp::ParlomaticApp(platform::Session session) : m_parts(std::move(session))
{
    CurlHttpClient::Options options;
    options.extraCaFile = Env::extraCaFile();
    m_http = std::make_shared<CurlHttpClient>(options);
}

ParlomaticApp::~ParlomaticApp()
{
    // Quitting ends now: requests under way are abandoned rather than waited for (the watcher
    // waits for the thread pool as it goes, up to a request's time-out).
    m_http->abortAll();
}

void ParlomaticApp::start()
{
    installSystemBrowserSignIn();
    m_watchControl = std::make_unique<selection::WatchControl>(service::Preferences::standard(), systemClock());
    m_trayIcon = std::make_unique<QSystemTrayIcon>();
    showPause();
    connect(m_watchControl.get(), &selection::WatchControl::pausedChanged, this, &ParlomaticApp::showPause);
    m_desktopNotices = std::make_unique<platform::DesktopNotifications>();
    m_notices = std::make_unique<selection::ThrottledNotices>(*m_desktopNotices, systemClock());
    m_globalShortcuts = m_parts.globalShortcuts();
    if (dynamic_cast<platform::PortalGlobalShortcuts*>(m_globalShortcuts.get()) != nullptr) {
        m_shortcutsNote = QStringLiteral(
            "Your desktop holds these keys for Parlomatic: it asks you once to confirm them, and afterwards "
            "you change them in its own settings (KDE Plasma: System Settings, Shortcuts, Parlomatic). The "
            "keys chosen here are only offered to it.");
    }
    m_shortcuts = std::make_unique<selection::KeyboardShortcuts>(
        m_globalShortcuts.get(), service::Preferences::standard(), *m_watchControl, *m_notices);

    AppStateDependencies dependencies;
    dependencies.credentialsManager = makeCredentialsManager(m_http);
    dependencies.accessibility = std::make_shared<BusAccessibilityPermission>();
    dependencies.signIn = [http = m_http](std::function<void(SignInResult)> done) { signIn(http, std::move(done)); };
    dependencies.startWatcher = [this] {
        return std::make_unique<SelectionWatcher>(m_parts, *m_appState, *m_http, *m_watchControl, *m_shortcuts);
    };
    dependencies.userMetadata =
        std::make_shared<service::UserMetadata>(*m_http, service::ApiDomain([] { return Env::apiDomain(); }));
    dependencies.tell = [](const QString& message) {
        platform::DesktopNotifications().tell(selection::NoticeCause::session, message);
    };
    dependencies.signOutPendingFile = signOutPendingFile();
    m_appState = std::make_unique<AppState>(std::move(dependencies));

    m_menuView = std::make_unique<MenuBarView>(*m_appState, [] { QCoreApplication::quit(); });
    m_menuView->setShortcutsItem([this] { openShortcutsWindow(); });
    m_menuView->setWatchControl(m_watchControl.get());
    m_trayIcon->setContextMenu(m_menuView->menu());
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        logError("No system tray is available; Parlomatic keeps running without its icon.");
    }
    m_trayIcon->show();

    UpdaterController::Options options;
    options.feedURL = QString::fromStdString(Env::updateFeedURL());
    options.currentVersion = QCoreApplication::applicationVersion();
    auto updater = std::make_unique<UpdaterController>(
        m_http, makeDialogUserDriver(), [](const QUrl& url) { QDesktopServices::openUrl(url); }, options);
    AppState* state = m_appState.get();
    connect(updater.get(), &UpdaterController::updateWaiting, state, [state](const QString& version) {
        state->setUpdateLabel(QStringLiteral("Update Now (v%1)").arg(version));
    });
    connect(updater.get(), &UpdaterController::updateSessionFinished, state,
            [state] { state->setUpdateLabel(QString::fromLatin1(AppState::checkForUpdatesLabel)); });
    m_appState->setUpdater(std::move(updater));
}

void ParlomaticApp::openShortcutsWindow()
{
    if (!m_shortcutsWindow) {
        const QString note =
            m_globalShortcuts ? m_shortcutsNote
                              : QStringLiteral("On this desktop Parlomatic cannot hold keys itself: bind them in your "
                                               "desktop's settings to the commands parlomatic --translate, "
                                               "parlomatic --replace and parlomatic --improve (see the README).");
        m_shortcutsWindow = std::make_unique<ShortcutsWindow>(service::Preferences::standard(), note);
        selection::KeyboardShortcuts* shortcuts = m_shortcuts.get();
        connect(m_shortcutsWindow.get(), &ShortcutsWindow::changed, shortcuts, &selection::KeyboardShortcuts::reload);
        connect(m_shortcutsWindow.get(), &ShortcutsWindow::editing, shortcuts,
                &selection::KeyboardShortcuts::setSuspended);
    }
    m_shortcutsWindow->show();
    m_shortcutsWindow->raise();
    m_shortcutsWindow->activateWindow();
}

void ParlomaticApp::runAction(const QString& name)
{
    if (const std::optional<selection::ShortcutAction> action = selection::shortcutNamed(name.toStdString());
        action && m_shortcuts) {
        m_shortcuts->run(*action);
    }
}

void ParlomaticApp::showPause()
{
    QIcon icon(QStringLiteral(":/parlomatic.svg"));
    const std::optional<double> until = m_watchControl->pausedUntil();
    if (until) {
        QIcon dimmed;
        for (const int size : {16, 22, 24, 32, 48, 64}) {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter painter(&pixmap);
            painter.setOpacity(0.4);
            icon.paint(&painter, pixmap.rect());
            painter.end();
            dimmed.addPixmap(pixmap);
        }
        icon = dimmed;
    }
    icon.setIsMask(true); // a monochrome icon that the tray tints for light and dark panels
    m_trayIcon->setIcon(icon);
    m_trayIcon->setToolTip(
        until ? QStringLiteral("Parlomatic: paused until %1")
                    .arg(QLocale().toString(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(*until)).time(),
                                            QLocale::ShortFormat))
              : QStringLiteral("Parlomatic"));
}

void ParlomaticApp::showAlreadyRunning()
{
    if (m_trayIcon) {
        m_trayIcon->showMessage(QStringLiteral("Parlomatic"),
                                QStringLiteral("Parlomatic is already running: its menu is behind its icon."));
    }
}

} // namespace parlomatic::app
