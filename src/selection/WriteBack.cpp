#include "selection/WriteBack.h"

#include "common/Log.h"
#include "selection/KeyPaster.h"
#include "selection/PanelPlacement.h"
#include "selection/SelectionReader.h"
#include "selection/WindowPaster.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace parlomatic {
namespace {

// A copy of every format of the clipboard, to put back later; nothing when it is too large to keep.
std::unique_ptr<QMimeData> copyOf(const QMimeData* data)
{
    auto copy = std::make_unique<QMimeData>();
    if (data == nullptr) {
        return copy;
    }
    qsizetype total = 0;
    for (const QString& format : data->formats()) {
        const QByteArray bytes = data->data(format);
        total += bytes.size();
        if (total > WriteBack::maxKeptClipboardBytes) {
            return nullptr;
        }
        copy->setData(format, bytes);
    }
    return copy;
}

// The pasted text on the clipboard; it tells when an application first fetches it.
class PastedText final : public QMimeData {
public:
    mutable std::function<void()> fetched;
    // What the user had on the clipboard before this paste, until it is put back.
    std::shared_ptr<std::unique_ptr<QMimeData>> kept;

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        if (fetched) {
            // Not from inside the clipboard's answer: the restore is only scheduled here.
            QTimer::singleShot(0, QCoreApplication::instance(), std::exchange(fetched, {}));
        }
        return QMimeData::retrieveData(mimeType, type);
    }
};

// Puts `kept` back on the clipboard unless something other than `pasted` is there now.
void restoreClipboard(const QPointer<QMimeData>& pasted, const std::shared_ptr<std::unique_ptr<QMimeData>>& kept)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!*kept || !pasted || clipboard->mimeData(QClipboard::Clipboard) != pasted.data()) {
        return;
    }
    if ((*kept)->formats().isEmpty()) {
        clipboard->clear(QClipboard::Clipboard);
    } else {
        clipboard->setMimeData(kept->release(), QClipboard::Clipboard);
    }
}

} // namespace

WriteBack::WriteBack(AccessibilityRunner& runner, KeyPaster* paster, WindowPaster* windowPaster)
    : m_runner(runner), m_paster(paster), m_windowPaster(windowPaster)
{}

WriteBack::WriteBack(AccessibilityBackend& backend, KeyPaster* paster, WindowPaster* windowPaster)
    : m_ownRunner(std::make_unique<InlineAccessibility>(backend)), m_runner(*m_ownRunner), m_paster(paster),
      m_windowPaster(windowPaster)
{}

std::optional<WriteBack::Refusal> WriteBack::refusal(AccessibilityBackend& backend, const Element& element,
                                                     const QString& selectedText)
{
    const std::optional<Pid> pid = element ? element->processId() : std::nullopt;
    if (!pid) {
        return Refusal{.reason = "The element is gone; nothing was written back."};
    }
    // X11 cannot post keys to a process, only to the focused window: a paste that lands anywhere
    // else would change text the user never chose.
    if (backend.frontmostWindowOwnerPid() != pid) {
        return Refusal{.reason = "The application in front changed; nothing was written back."};
    }
    // A check that failed because the application did not answer says nothing about its text.
    const auto failed = [&](const char* reason) -> std::optional<Refusal> {
        if (!backend.isResponding(*pid)) {
            return Refusal{.reason = "The application did not answer; nothing was written back.", .unanswered = true};
        }
        return Refusal{.reason = reason};
    };
    const Element application = backend.applicationElement(*pid);
    const Element focused = application ? backend.focusedElement(application) : Element{};
    if (!focused || !focused->isSameElement(*element)) {
        return failed("The focus moved to another element; nothing was written back.");
    }
    // The user may have selected other text while the request ran: the paste would replace it. A
    // selection grown past what the watcher reads is not fetched to find that out.
    const std::optional<int> length = backend.selectionLength(element);
    if ((length && *length > SelectionReader::maxSelectionLength) ||
        trimmedSelection(backend.selectedText(element).value_or(QString())) != selectedText) {
        return failed("The selection changed; nothing was written back.");
    }
    return std::nullopt;
}

void WriteBack::writeText(const Element& element, const QString& selectedText, const QString& text,
                          std::function<void(Outcome)> done)
{
    m_runner.run(&m_context,
                 [this, element, selectedText, text, done = std::move(done)](AccessibilityBackend& backend) {
                     const std::optional<Refusal> refused = refusal(backend, element, selectedText);
                     const std::optional<Pid> pid = refused ? std::nullopt : element->processId();
                     const bool keys = pid && m_paster != nullptr && m_paster->reachesFocusOf(*pid);
                     // Where our keys do not reach (Wayland), the compositor's paste comes first where it
                     // is open: one Ctrl+Z takes it back whole, where GTK 4 and Qt keep an element's write
                     // as two steps. Otherwise the element itself is written, right after the checks.
                     const bool compositorKeys = m_windowPaster != nullptr && m_windowPaster->canSendKeys();
                     const bool written = pid && !keys && !compositorKeys && backend.replaceSelection(element, text);
                     return [this, refused, text, keys, written, done] {
                         Outcome outcome = Outcome::refused;
                         if (refused) {
                             logError(refused->reason);
                             outcome = refused->unanswered ? Outcome::unanswered : Outcome::refused;
                         } else if (keys) {
                             outcome = pasteKeepingClipboard(*m_paster, text) ? Outcome::written : Outcome::failed;
                         } else if (written) {
                             outcome = Outcome::written;
                         } else if (m_windowPaster != nullptr && m_windowPaster->canSendKeys()) {
                             const auto sent = m_windowPaster->paste(text);
                             outcome = Outcome::written;
                             if (!sent) {
                                 // Nothing was pasted and the user's clipboard is back: the text waits
                                 // on the clipboard for the user, as where no keys can be sent.
                                 logError("Could not send the paste keys (" + sent.error() +
                                          "); the text is on the clipboard instead.");
                                 m_windowPaster->offer(text);
                                 outcome = Outcome::onClipboard;
                             }
                         } else {
                             // Without keys to send, the user can still paste it: the text stays on the
                             // clipboard, which is not given back.
                             logError("The application does not let its text be written this way; the text is on the "
                                      "clipboard instead.");
                             if (m_windowPaster != nullptr) {
                                 m_windowPaster->offer(text);
                             } else {
                                 QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
                             }
                             outcome = Outcome::onClipboard;
                         }
                         if (done) {
                             done(outcome);
                         }
                     };
                 });
}

bool WriteBack::pasteKeepingClipboard(KeyPaster& keys, const QString& text)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    auto kept = std::make_shared<std::unique_ptr<QMimeData>>();
    const auto* earlier = dynamic_cast<const PastedText*>(clipboard->mimeData(QClipboard::Clipboard));
    if (earlier && *earlier->kept) {
        // A paste of ours not yet put back: the user's clipboard is what that one keeps.
        kept = earlier->kept;
    } else if (!clipboard->ownsClipboard() && !keys.clipboardOwnerAnswers(clipboardOwnerWait)) {
        logError("The application holding the clipboard does not answer; the pasted text stays on it");
    } else {
        *kept = copyOf(clipboard->mimeData(QClipboard::Clipboard));
        if (!*kept) {
            logError("The clipboard is too large to keep; the pasted text stays on it");
        }
    }
    auto* pasted = new PastedText;
    pasted->setText(text);
    pasted->kept = kept;
    const QPointer<QMimeData> guard(pasted);
    pasted->fetched = [guard, kept] {
        QTimer::singleShot(restoreAfterFetchMs, QCoreApplication::instance(),
                           [guard, kept] { restoreClipboard(guard, kept); });
    };
    clipboard->setMimeData(pasted, QClipboard::Clipboard); // the clipboard owns it
    QTimer::singleShot(restoreUnfetchedAfterMs, QCoreApplication::instance(),
                       [guard, kept] { restoreClipboard(guard, kept); });
    if (const auto sent = keys.pasteShortcut(); !sent) {
        logError("Could not send the paste keys: " + sent.error());
        restoreClipboard(guard, kept);
        return false;
    }
    return true;
}

KeyWindowPaster::KeyWindowPaster(std::unique_ptr<KeyPaster> keys) : m_keys(std::move(keys)) {}
KeyWindowPaster::~KeyWindowPaster() = default;

std::expected<void, std::string> KeyWindowPaster::paste(const QString& text)
{
    if (!WriteBack::pasteKeepingClipboard(*m_keys, text)) {
        return std::unexpected("the paste keys could not be sent");
    }
    return {};
}

void KeyWindowPaster::offer(const QString& text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

} // namespace parlomatic
