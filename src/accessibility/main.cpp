// parlomatic-accessibility: the accessibility layer in a process of its own. Parlomatic starts it
// with a socket as its standard input and output and asks it, one request at a time, what the
// watcher and the write-back need (see AccessibilityProtocol.h). It ends when its
// input closes, when the application that started it ends, and when the accessibility bus goes
// away (exit status 3): Parlomatic then starts a new one.

#include "accessibility/AccessibilityProtocol.h"
#include "accessibility/AccessibilityServer.h"
#include "app/parts/PlatformParts.h"
#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/desktop/ApplicationProcess.h"
#include "platform/linux/desktop/ProcApplicationIdentities.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

using namespace parlomatic;
namespace protocol = platform::accessibilityProtocol;

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const qsizetype at = arguments.indexOf(QStringLiteral("--application-pid"));
    bool valid = false;
    const selection::Pid owner = at >= 0 ? selection::Pid(arguments.value(at + 1).toInt(&valid)) : 0;
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

    // The helper inherits the application's environment untouched, so it probes the same session
    // and its parts are picked by the same code.
    const std::unique_ptr<platform::AtspiAccessibility> layer =
        app::PlatformParts(platform::Session::probe()).accessibilityLayer();
    if (!layer->isAvailable()) {
        return protocol::noBusExit;
    }
    return platform::serveStandardStreams(
        *layer, [&layer] { return !layer->isConnected(); }, std::make_shared<platform::ProcApplicationIdentities>());
}
