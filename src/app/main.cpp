#include "app/ParlomaticApp.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (!parlomatic::hasGraphicalSession()) {
        std::fprintf(stderr, "parlomatic: no graphical session (DISPLAY and WAYLAND_DISPLAY are unset); "
                             "run it inside one, for example: scripts/desktop-session build/dev/bin/parlomatic\n");
        return 1;
    }
    QApplication application(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Parlomatic"));
    QApplication::setApplicationName(QStringLiteral("Parlomatic"));
    QApplication::setQuitOnLastWindowClosed(false);

    parlomatic::ParlomaticApp app;
    app.start();
    return QApplication::exec();
}
