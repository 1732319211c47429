#include "selection/WriteBack.h"

#include "common/Log.h"
#include "selection/KeyPaster.h"
#include "selection/PanelPlacement.h"

#include <QClipboard>
#include <QGuiApplication>

namespace parlomatic {

WriteBack::WriteBack(AccessibilityBackend& backend, KeyPaster* paster) : m_backend(backend), m_paster(paster) {}

bool WriteBack::writeText(const Element& element, const QString& selectedText, const QString& text)
{
    const std::optional<Pid> pid = element ? element->processId() : std::nullopt;
    if (!pid) {
        return false;
    }
    if (m_paster == nullptr) {
        logError("Writing text back is not available on Wayland yet; nothing was written.");
        return false;
    }
    // X11 cannot post keys to a process, only to the focused window: a paste that lands anywhere
    // else would change text the user never chose.
    if (m_backend.frontmostWindowOwnerPid() != pid) {
        logError("The application in front changed; nothing was written back.");
        return false;
    }
    const Element application = m_backend.applicationElement(*pid);
    const Element focused = application ? m_backend.focusedElement(application) : Element{};
    if (!focused || !focused->isSameElement(*element)) {
        logError("The focus moved to another element; nothing was written back.");
        return false;
    }
    // The user may have selected other text while the request ran: the paste would replace it.
    if (trimmedSelection(m_backend.selectedText(element).value_or(QString())) != selectedText) {
        logError("The selection changed; nothing was written back.");
        return false;
    }
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
    if (const auto sent = m_paster->pasteShortcut(); !sent) {
        logError("Could not send the paste keys: " + sent.error());
        return false;
    }
    return true;
}

} // namespace parlomatic
