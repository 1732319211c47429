#include "selection/WriteBack.h"

#include "common/Log.h"
#include "selection/KeyPaster.h"
#include "selection/PanelPlacement.h"
#include "selection/SelectionReader.h"

#include <QClipboard>
#include <QGuiApplication>

namespace parlomatic {

WriteBack::WriteBack(AccessibilityRunner& runner, KeyPaster* paster) : m_runner(runner), m_paster(paster) {}

WriteBack::WriteBack(AccessibilityBackend& backend, KeyPaster* paster)
    : m_ownRunner(std::make_unique<InlineAccessibility>(backend)), m_runner(*m_ownRunner), m_paster(paster)
{}

std::optional<std::string> WriteBack::refusal(AccessibilityBackend& backend, const Element& element,
                                              const QString& selectedText)
{
    const std::optional<Pid> pid = element ? element->processId() : std::nullopt;
    if (!pid) {
        return "The element is gone; nothing was written back.";
    }
    // X11 cannot post keys to a process, only to the focused window: a paste that lands anywhere
    // else would change text the user never chose.
    if (backend.frontmostWindowOwnerPid() != pid) {
        return "The application in front changed; nothing was written back.";
    }
    const Element application = backend.applicationElement(*pid);
    const Element focused = application ? backend.focusedElement(application) : Element{};
    if (!focused || !focused->isSameElement(*element)) {
        return "The focus moved to another element; nothing was written back.";
    }
    // The user may have selected other text while the request ran: the paste would replace it. A
    // selection grown past what the watcher reads is not fetched to find that out.
    const std::optional<int> length = backend.selectionLength(element);
    if ((length && *length > SelectionReader::maxSelectionLength) ||
        trimmedSelection(backend.selectedText(element).value_or(QString())) != selectedText) {
        return "The selection changed; nothing was written back.";
    }
    return std::nullopt;
}

void WriteBack::writeText(const Element& element, const QString& selectedText, const QString& text,
                          std::function<void(Outcome)> done)
{
    const bool keys = m_paster != nullptr;
    m_runner.run(
        &m_context, [this, element, selectedText, text, keys, done = std::move(done)](AccessibilityBackend& backend) {
            const std::optional<std::string> refused = refusal(backend, element, selectedText);
            // Without keys to send (Wayland), the element itself is written, right after the checks.
            const bool written = !refused && !keys && backend.replaceSelection(element, text);
            return [this, refused, text, keys, written, done] {
                Outcome outcome = Outcome::refused;
                if (refused) {
                    logError(*refused);
                } else if (keys) {
                    outcome = paste(text) ? Outcome::written : Outcome::failed;
                } else if (written) {
                    outcome = Outcome::written;
                } else {
                    logError("The application does not let its text be written this way; nothing was written back.");
                    outcome = Outcome::failed;
                }
                if (done) {
                    done(outcome);
                }
            };
        });
}

bool WriteBack::paste(const QString& text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
    if (const auto sent = m_paster->pasteShortcut(); !sent) {
        logError("Could not send the paste keys: " + sent.error());
        return false;
    }
    return true;
}

} // namespace parlomatic
