// parlomatic-accessibility: the accessibility layer in a process of its own. Parlomatic starts it
// with a socket as its standard input and output and asks it, one request at a time, what the
// watcher and the write-back need (see platform/linux/AccessibilityProtocol.h). It ends when its
// input closes, when the application that started it ends, and when the accessibility bus goes
// away (exit status 3): Parlomatic then starts a new one.

#include "accessibility/AccessibilityProtocol.h"
#include "accessibility/AccessibilityServer.h"
#include "common/Log.h"
#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/desktop/ApplicationProcess.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace parlomatic;
namespace protocol = platform::accessibilityProtocol;

// The whole line, or false when the application no longer reads.
bool writeAll(const QByteArray& bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t wrote = ::write(STDOUT_FILENO, bytes.constData() + written, size_t(bytes.size() - written));
        if (wrote < 0 && errno != EINTR) {
            return false;
        }
        written += std::max<ssize_t>(wrote, 0);
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype at = arguments.indexOf(QStringLiteral("--application-pid"));
    bool valid = false;
    const Pid owner = at >= 0 ? Pid(arguments.value(at + 1).toInt(&valid)) : 0;
    if (!valid || owner <= 0) {
        std::fputs("parlomatic-accessibility: started by Parlomatic only (--application-pid PID)\n", stderr);
        return 2;
    }
    // Ends with the application, also when it is killed.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != owner) {
        return 0;
    }
    platform::setApplicationProcess(owner);

    platform::AtspiAccessibility layer;
    if (!layer.isAvailable()) {
        return protocol::noBusExit;
    }
    platform::AccessibilityServer server(layer);
    QByteArray pending;
    bool changed = false;
    const auto endIfLost = [&layer] {
        if (!layer.isConnected()) {
            QCoreApplication::exit(protocol::noBusExit);
        }
    };

    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[65536];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            input.setEnabled(false);
            QCoreApplication::exit(0);
            return;
        }
        pending.append(chunk, std::max<ssize_t>(got, 0));
        for (qsizetype newline = pending.indexOf('\n'); newline >= 0; newline = pending.indexOf('\n')) {
            const QByteArray answer = server.answer(QByteArrayView(pending).first(newline));
            pending.remove(0, newline + 1);
            if (!writeAll(answer)) {
                QCoreApplication::exit(0);
                return;
            }
        }
        if (pending.size() > protocol::maxLineBytes) {
            logError("The accessibility helper was sent a request past every bound; it ends.");
            QCoreApplication::exit(2);
            return;
        }
        endIfLost();
    });
    // Announcements go out between answers, one for a burst.
    layer.setChangeListener([&changed] {
        if (!std::exchange(changed, true)) {
            QTimer::singleShot(0, [&changed] {
                changed = false;
                writeAll(protocol::line({{QStringLiteral("event"), QLatin1String(protocol::changedEvent)}}));
            });
        }
    });
    QTimer busCheck;
    QObject::connect(&busCheck, &QTimer::timeout, endIfLost);
    busCheck.start(1000);
    return QCoreApplication::exec();
}
