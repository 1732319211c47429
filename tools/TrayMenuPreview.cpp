// Shows the tray menu of a signed-in user, with its "Turned Off In" submenu open, at a given place
// until it is ended; scripts/screenshots photographs it.
//
//   tray_menu_preview --theme light|dark --at X,Y --ready FILE
//
// X,Y is the menu's top-left corner in screen pixels. Once the submenu has been painted FILE is
// written with one line "X Y W H" per menu (the menu first, then the submenu), in screen pixels.
//
// The menu is the real one over the real session state: the token set is taken over as a sign-in
// takes it over, with an empty in-memory keychain behind it, so the start-up renewal finds nothing
// to renew and no identity service is ever asked.

#include "app/AppState.h"
#include "app/MenuBarView.h"
#include "fakes/FakeKeychainBackend.h"
#include "identity/CredentialsManager.h"
#include "identity/IdentityAuthentication.h"
#include "identity/keychain/KeychainStore.h"
#include "selection/WatchControl.h"
#include "service/Preferences.h"
#include "support/Base64Url.h"

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QPalette>
#include <QSaveFile>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTimer>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>

#include "PreviewPalette.h"

using namespace parlomatic;

namespace {

// The dark palette of panels_preview, with disabled items greyed.
QPalette darkPalette()
{
    QPalette palette = preview::darkPalette();
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    return palette;
}

// No network: an identity service that refuses every refresh token, should it ever be asked.
class RefusingService final : public HttpClient {
public:
    HttpResult send(const HttpRequest&) override
    {
        return HttpResponse{.status = 400,
                            .headers = {{"Content-Type", "application/json"}},
                            .body =
                                R"({"error":"invalid_grant","error_description":"Unknown or invalid refresh token."})"};
    }
};

class AlwaysTrusted final : public app::AccessibilityPermission {
public:
    bool isTrusted() override { return true; }
    void requestAccess() override {}
};

identity::Credentials signedInTokenSet()
{
    const auto now = static_cast<double>(std::time(nullptr));
    const double expiry = now + 3600;
    const std::string header = R"({"alg":"RS256"})";
    const std::string access =
        testing::makeToken(header, nlohmann::json{{"exp", expiry}, {"sub", "auth|preview"}}.dump());
    const std::string id = testing::makeToken(
        header,
        nlohmann::json{{"sub", "auth|preview"}, {"email", "ana@example.com"}, {"pm_gender", "feminine"}}.dump());
    return {access, "Bearer", expiry, std::string("rt-preview"), id};
}

QString deviceRect(const QWidget& window, double ratio)
{
    const QRect frame = window.frameGeometry();
    return QStringLiteral("%1 %2 %3 %4")
        .arg(qRound(frame.x() * ratio))
        .arg(qRound(frame.y() * ratio))
        .arg(qRound(frame.width() * ratio))
        .arg(qRound(frame.height() * ratio));
}

// Writes the ready file once the submenu has been painted.
class ReadyOnPaint : public QObject {
public:
    ReadyOnPaint(QString path, const QMenu& menu, const QMenu& submenu, double ratio)
        : m_path(std::move(path)), m_menu(menu), m_submenu(submenu), m_ratio(ratio)
    {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !m_done) {
            m_done = true;
            QTimer::singleShot(0, this, [this] {
                // Written whole or not at all: the script reads it as soon as it is there.
                QSaveFile ready(m_path);
                if (ready.open(QIODevice::WriteOnly)) {
                    ready.write(
                        (deviceRect(m_menu, m_ratio) + u'\n' + deviceRect(m_submenu, m_ratio) + u'\n').toUtf8());
                    static_cast<void>(ready.commit());
                }
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QString m_path;
    const QMenu& m_menu;
    const QMenu& m_submenu;
    double m_ratio;
    bool m_done = false;
};

QAction* actionTitled(const QMenu& menu, const QString& title)
{
    for (QAction* action : menu.actions()) {
        if (action->text() == title) {
            return action;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);

    QCommandLineParser parser;
    parser.addOptions({{"theme", "light or dark", "theme", "light"},
                       {"at", "X,Y", "point"},
                       {"ready", "written once shown", "file"}});
    parser.process(application);

    const QStringList numbers = parser.value(QStringLiteral("at")).split(u',');
    if (numbers.size() != 2 || !parser.isSet(QStringLiteral("ready"))) {
        // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
        std::fprintf(stderr, "tray_menu_preview: --at X,Y and --ready FILE are required\n");
        return 64;
    }
    const double ratio = application.primaryScreen()->devicePixelRatio();
    const QPoint at(qRound(numbers[0].toDouble() / ratio), qRound(numbers[1].toDouble() / ratio));

    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(parser.value(QStringLiteral("theme")) == QLatin1String("dark")
                                 ? darkPalette()
                                 : QApplication::style()->standardPalette());

    // Beside the ready file: the script's scratch folder goes with it, also when this is killed.
    const QString readyPath = parser.value(QStringLiteral("ready"));
    QTemporaryDir scratch(QFileInfo(readyPath).absoluteDir().filePath(QStringLiteral("tray-menu-XXXXXX")));
    if (!scratch.isValid()) {
        // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
        std::fprintf(stderr, "tray_menu_preview: no scratch folder beside the ready file\n");
        return 73;
    }
    auto authentication = std::make_shared<identity::IdentityAuthentication>(
        "preview", "https://identity.invalid", std::make_shared<RefusingService>(),
        identity::Telemetry{.enabled = false, .info = std::nullopt});
    auto keychain = std::make_shared<identity::KeychainStore>(std::make_shared<identity::FakeKeychainBackend>(),
                                                              "app.parlomatic.Preview");
    app::AppStateDependencies dependencies;
    dependencies.credentialsManager = std::make_shared<identity::CredentialsManager>(
        authentication, "credentials", keychain, systemClock(),
        std::filesystem::path(scratch.filePath(QStringLiteral("credentials.lock")).toStdString()));
    dependencies.accessibility = std::make_shared<AlwaysTrusted>();
    dependencies.signIn = [](const std::function<void(app::SignInResult)>& done) {
        done(std::unexpected("no sign-in here"));
    };
    dependencies.startWatcher = [] { return std::make_unique<QObject>(); };
    app::AppState state(std::move(dependencies));

    // As the application wires it: the watcher's items over the user's settings.
    service::Preferences preferences(scratch.filePath(QStringLiteral("Parlomatic.conf")).toStdString());
    selection::WatchControl control(preferences, systemClock());
    control.turnOff({.id = QStringLiteral("org.gnome.Terminal.desktop"), .name = QStringLiteral("Terminal")});
    control.setLastShown({.id = QStringLiteral("org.xfce.mousepad.desktop"), .name = QStringLiteral("Mousepad")});

    app::MenuBarView view(state, [] { QCoreApplication::quit(); });
    view.setWatchControl(&control);

    std::unique_ptr<ReadyOnPaint> readyOnPaint;
    QObject::connect(&state, &app::AppState::startupFinished, &state, [&] {
        // The start-up renewal found nothing stored; now the user signs in.
        state.applyCredentials(signedInTokenSet(), true);
        QMenu* menu = view.menu();
        if (state.waitingForAuth() || state.isReconnecting() || !state.isAuthenticated()) {
            // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
            std::fprintf(stderr, "tray_menu_preview: the session is not signed in\n");
            QCoreApplication::exit(70);
            return;
        }
        menu->popup(at);
        QAction* turnedOff = actionTitled(*menu, QString::fromLatin1(app::MenuBarView::turnedOffTitle));
        if (turnedOff == nullptr || turnedOff->menu() == nullptr) {
            // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
            std::fprintf(stderr, "tray_menu_preview: the menu has no \"%s\" submenu\n",
                         app::MenuBarView::turnedOffTitle);
            QCoreApplication::exit(70);
            return;
        }
        QMenu* submenu = turnedOff->menu();
        readyOnPaint = std::make_unique<ReadyOnPaint>(readyPath, *menu, *submenu, ratio);
        submenu->installEventFilter(readyOnPaint.get());
        // As hovering opens it: the item highlighted, its submenu beside it. A style that does
        // not open it so gets the keyboard's way.
        QTimer::singleShot(100, menu, [menu, turnedOff, submenu] {
            menu->setActiveAction(turnedOff);
            if (!submenu->isVisible()) {
                QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
                QCoreApplication::sendEvent(menu, &right);
            }
        });
    });
    return QApplication::exec();
}
