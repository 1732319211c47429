#include "app/ParlomaticApp.h"
#include "app/SingleInstance.h"

#include <QApplication>

#include <X11/Xlib.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (!parlomatic::hasGraphicalSession()) {
        std::fprintf(stderr, "parlomatic: no graphical session (DISPLAY and WAYLAND_DISPLAY are unset); "
                             "run it inside one, for example: scripts/desktop-session build/dev/bin/parlomatic\n");
        return 1;
    }
    // On Wayland our windows go through XWayland: only there can the strip stand where the
    // selection is (see FloatingWindow.h).
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && !qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    // The accessibility thread reads the window stack over an Xlib connection of its own while the
    // GUI thread sends keys over another: Xlib's process-wide state must be locked.
    XInitThreads();
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Parlomatic"));
    QApplication::setApplicationName(QStringLiteral("Parlomatic"));
    QApplication::setApplicationVersion(QStringLiteral(PARLOMATIC_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);

    parlomatic::SingleInstance instance;
    if (instance.claim() == parlomatic::SingleInstance::Role::handedOver) {
        return 0;
    }

    parlomatic::ParlomaticApp app;
    QObject::connect(&instance, &parlomatic::SingleInstance::activated, &app,
                     &parlomatic::ParlomaticApp::showAlreadyRunning);
    app.start();
    const int status = QApplication::exec();
    // A launch from now on starts anew instead of handing over to this quitting instance.
    instance.close();
    return status;
}
