// The paste through the clipboard: our text served as the clipboard's content while the paste keys
// go out, and the user's clipboard given back afterwards (the lease).

#include "selection/WriteBackClipboard.h"

#include "selection/KeyPaster.h"
#include "selection/LogCategories.h"
#include "selection/WriteBack.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QPointer>

#include <chrono>
#include <memory>

namespace parlomatic::selection {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A copy of every format of a clipboard of our own, to put back later; nothing when it is too large to keep.
std::optional<ClipboardFormats> copyOf(const QMimeData* data)
{
    ClipboardFormats copy;
    if (data == nullptr) {
        return copy;
    }
    qsizetype total = 0;
    for (const QString& format : data->formats()) {
        QByteArray bytes = data->data(format);
        total += bytes.size();
        if (total > WriteBack::maxKeptClipboardBytes) {
            return std::nullopt;
        }
        copy.emplace_back(format, std::move(bytes));
    }
    return copy;
}

// The pasted text on the clipboard; it tells when an application first fetches it.
class PastedText final : public QMimeData {
public:
    // What the user had on the clipboard before this paste, until it is put back; null once our text
    // is to stay (a paste that could not be confirmed), nothing inside when it could not be kept.
    std::shared_ptr<const std::optional<ClipboardFormats>> kept;
    std::shared_ptr<bool> fetched = std::make_shared<bool>(false);

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override
    {
        if (!*fetched) {
            qCDebug(writeBackLog) << "The pasted text was fetched.";
        }
        *fetched = true;
        return QMimeData::retrieveData(mimeType, type);
    }
};

class ClipboardLease final : public PasteLease {
public:
    explicit ClipboardLease(PastedText* pasted) : m_pasted(pasted), m_fetched(pasted->fetched), m_kept(pasted->kept) {}

    bool fetched() const override { return *m_fetched; }
    void giveBack() override
    {
        QClipboard* clipboard = QGuiApplication::clipboard();
        if (!m_pasted || clipboard->mimeData(QClipboard::Clipboard) != m_pasted.data() || !m_kept) {
            return;
        }
        const std::optional<ClipboardFormats>& kept = *m_kept;
        if (!kept) {
            return;
        }
        const ClipboardFormats& formats = *kept;
        if (formats.empty()) {
            clipboard->clear(QClipboard::Clipboard);
            return;
        }
        auto* data = new QMimeData;
        for (const auto& [format, bytes] : formats) {
            data->setData(format, bytes);
        }
        clipboard->setMimeData(data, QClipboard::Clipboard); // the clipboard owns it
    }

private:
    QPointer<QMimeData> m_pasted;
    std::shared_ptr<bool> m_fetched;
    std::shared_ptr<const std::optional<ClipboardFormats>> m_kept;
};

} // namespace

// What the user's clipboard is when it is our own: under a paste of ours not yet given back, what
// that paste keeps; else a copy of what we serve, which is also a pasted text that stayed on it as
// nothing older could be kept (the toolkit hands back our own data only while we own the clipboard).
// Nothing when another application holds it, or nobody does.
std::optional<std::optional<ClipboardFormats>> ownClipboard()
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard);
    const auto* earlier = dynamic_cast<const PastedText*>(data);
    if (earlier != nullptr && earlier->kept && earlier->kept->has_value()) {
        return *earlier->kept;
    }
    if (earlier != nullptr || clipboard->ownsClipboard()) {
        return copyOf(data);
    }
    return std::nullopt;
}

void WriteBack::pasteKeepingClipboard(KeyPaster& keys, const QString& text,
                                      std::optional<ClipboardFormats> userClipboard, WindowPaster::Pasted done)
{
    QClipboard* clipboard = QGuiApplication::clipboard();
    auto* pasted = new PastedText;
    pasted->setText(text);
    pasted->kept = std::make_shared<const std::optional<ClipboardFormats>>(std::move(userClipboard));
    // Not const: its copy in the continuation below may give the clipboard back.
    ClipboardLease lease(pasted);
    clipboard->setMimeData(pasted, QClipboard::Clipboard); // the clipboard owns it
    // The display server may refuse us the clipboard (a newer owner's time stamp than the last one we
    // saw): Ctrl+V would then paste what the user had there over their selection.
    if (clipboard->mimeData(QClipboard::Clipboard) != pasted) {
        return done(std::unexpected(
            PasteError{.kind = PasteError::Kind::noClipboard, .message = "the clipboard could not be taken"}));
    }
    keys.pasteShortcut([lease, done = std::move(done)](std::expected<void, std::string> sent) mutable {
        if (!sent) {
            lease.giveBack();
            return done(std::unexpected(PasteError{.kind = PasteError::Kind::noKeys, .message = sent.error()}));
        }
        done(std::make_unique<ClipboardLease>(lease));
    });
}

KeyWindowPaster::KeyWindowPaster(std::unique_ptr<KeyPaster> keys) : m_keys(std::move(keys)) {}
KeyWindowPaster::~KeyWindowPaster() = default;

void KeyWindowPaster::pasteThen(const QString& text, std::optional<ClipboardFormats> userClipboard, Pasted pasted)
{
    WriteBack::pasteKeepingClipboard(*m_keys, text, std::move(userClipboard), std::move(pasted));
}

void KeyWindowPaster::offer(const QString& text)
{
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

} // namespace parlomatic::selection
