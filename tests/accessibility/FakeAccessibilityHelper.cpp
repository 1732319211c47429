// A stand-in for parlomatic-accessibility: the protocol's server over a scripted desktop, or, as
// FAKE_HELPER_MODE says, a helper that answers nonsense, never answers, or crashes at once.

#include "accessibility/AccessibilityServer.h"
#include "fakes/FakeAccessibility.h"

#include <QCoreApplication>

#include <cstdlib>
#include <iostream>
#include <string>

#include <unistd.h>

int main(int argc, char* argv[])
{
    using namespace parlomatic;
    const char* chosen = std::getenv("FAKE_HELPER_MODE");
    const std::string mode = chosen != nullptr ? chosen : "";
    if (mode == "crash") {
        std::abort();
    }
    selection::FakeAccessibility layer;
    const auto focused = layer.addApplication(4242, QStringLiteral("org.example.Editor"));
    layer.setFront(4242);
    focused->selectedText = QStringLiteral("h\u00e9llo\n\"w\u00f6rld\" \U0001F600");
    focused->mark = selection::AccessibilityBackend::TextMark{.start = 2, .end = 7, .length = 20};
    focused->markerBounds = selection::AxRect{.x = 1.5, .y = 2, .width = 30, .height = 12};
    focused->role = QStringLiteral("AXTextArea");
    focused->editable = true;
    // A selection far larger than the socket's buffer.
    layer.addApplication(4343)->selectedText = QString(qsizetype{4} * 1024 * 1024, QLatin1Char('x'));
    if (mode == "serve") {
        const QCoreApplication application(argc, argv);
        return platform::serveStandardStreams(layer, [] { return false; });
    }
    for (std::string line; std::getline(std::cin, line);) {
        if (mode == "silent") {
            continue;
        }
        const QByteArray answer("{\"w\":1}\n");
        if (::write(STDOUT_FILENO, answer.constData(), size_t(answer.size())) != answer.size()) {
            return 1;
        }
    }
    return 0;
}
