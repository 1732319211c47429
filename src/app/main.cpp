#include "app/ParlomaticApp.h"
#include "app/SingleInstance.h"
#include "app/SystemBrowserSignIn.h"
#include "app/parts/PlatformParts.h"
#include "selection/Shortcuts.h"

#include <QApplication>

#include <X11/Xlib.h>

#include <cstdio>
#include <string_view>

int main(int argc, char* argv[])
{
    // The one look at what kind of session this is; everything else is handed this value.
    const parlomatic::platform::Session session = parlomatic::platform::Session::probe();
    if (!session.hasDisplay() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        std::fputs("parlomatic: no graphical session (DISPLAY and WAYLAND_DISPLAY are unset); run it inside one, "
                   "for example: scripts/desktop-session build/dev/bin/parlomatic\n",
                   stderr);
        return 1;
    }
    // On Wayland our windows go through XWayland: only there can the strip stand where the
    // selection is (see FloatingWindow.h and PlatformParts.h).
    parlomatic::app::runOnXWaylandUnderWayland(session);
    // A desktop's key binding runs `parlomatic --translate` (--replace, --improve): the running
    // instance acts on the selection. The hand-over comes before the toolkit's start (a display
    // connection, its plugins), which would add tens of milliseconds to every key press.
    QStringList actions;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument(argv[i]);
        if (argument.starts_with("--") && parlomatic::selection::shortcutNamed(argument.substr(2))) {
            actions.append(QString::fromUtf8(argument.substr(2)));
        }
    }
    if (!actions.isEmpty()) {
        const QCoreApplication core(argc, argv);
        if (parlomatic::app::SingleInstance().handOver({}, actions)) {
            return 0;
        }
    }
    // The user's clipboard is copied over an Xlib connection of its own on a pool thread while the
    // GUI thread sends keys over another: Xlib's process-wide state must be locked.
    XInitThreads();
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Parlomatic"));
    QApplication::setApplicationName(QStringLiteral("Parlomatic"));
    QApplication::setApplicationVersion(QStringLiteral(PARLOMATIC_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    // The browser starts us with the sign-in's answer on our URL scheme (the desktop entry's %u).
    QStringList urls = QApplication::arguments().mid(1);
    urls.removeIf([](const QString& argument) { return argument.startsWith(QLatin1Char('-')); });
    parlomatic::app::SingleInstance instance;
    if (instance.claim(urls, actions) == parlomatic::app::SingleInstance::Role::handedOver) {
        return 0;
    }
    QObject::connect(&instance, &parlomatic::app::SingleInstance::urlReceived, &parlomatic::app::receiveRedirect);

    parlomatic::app::ParlomaticApp app(session);
    QObject::connect(&instance, &parlomatic::app::SingleInstance::activated, &app,
                     &parlomatic::app::ParlomaticApp::showAlreadyRunning);
    QObject::connect(&instance, &parlomatic::app::SingleInstance::actionRequested, &app,
                     &parlomatic::app::ParlomaticApp::runAction);
    app.start();
    // No earlier instance was waiting for these: no sign-in can have sent them.
    for (const QString& url : urls) {
        parlomatic::app::receiveRedirect(url);
    }
    const int status = QApplication::exec();
    // A launch from now on starts anew instead of handing over to this quitting instance.
    instance.close();
    return status;
}
