// A stand-in for parlomatic-accessibility: the protocol's server over a scripted desktop, or, as
// FAKE_HELPER_MODE says, a helper that answers nonsense, never answers, or crashes at once.

#include "accessibility/AccessibilityServer.h"
#include "fakes/FakeAccessibility.h"

#include <cstdlib>
#include <iostream>
#include <string>

#include <unistd.h>

int main()
{
    using namespace parlomatic;
    const char* chosen = std::getenv("FAKE_HELPER_MODE");
    const std::string mode = chosen != nullptr ? chosen : "";
    if (mode == "crash") {
        std::abort();
    }
    FakeAccessibility layer;
    const auto focused = layer.addApplication(4242, QStringLiteral("org.example.Editor"));
    layer.setFront(4242);
    focused->selectedText = QStringLiteral("h\u00e9llo\n\"w\u00f6rld\" \U0001F600");
    focused->mark = AccessibilityBackend::TextMark{.start = 2, .end = 7, .length = 20};
    focused->markerBounds = AxRect{.x = 1.5, .y = 2, .width = 30, .height = 12};
    focused->role = QStringLiteral("AXTextArea");
    focused->editable = true;
    platform::AccessibilityServer server(layer);
    for (std::string line; std::getline(std::cin, line);) {
        if (mode == "silent") {
            continue;
        }
        const QByteArray answer = mode == "nonsense" ? QByteArray("{\"w\":1}\n") : server.answer(line);
        if (::write(STDOUT_FILENO, answer.constData(), size_t(answer.size())) != answer.size()) {
            return 1;
        }
    }
    return 0;
}
