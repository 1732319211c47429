#include "selection/WriteBack.h"

#include "common/Async.h"
#include "common/Log.h"
#include "selection/KeyPaster.h"
#include "selection/LogCategories.h"
#include "selection/PanelPlacement.h"
#include "selection/SelectionReader.h"
#include "selection/WindowPaster.h"
#include "selection/WriteBackClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace parlomatic::selection {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Text compared without its white space: applications may write line ends their own way.
QString withoutSpace(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        if (!c.isSpace()) {
            kept.append(c);
        }
    }
    return kept;
}

} // namespace

// One write in progress.
struct WriteBack::Write {
    Element element;
    QString selectedText;
    QString text;
    std::function<void(const WriteResult&)> done;
    // The user's clipboard as copied before the checks (nothing: not kept), through X11 and from the
    // compositor's clipboard where that is one of its own.
    std::optional<ClipboardFormats> userClipboard;
    std::optional<ClipboardFormats> compositorClipboard;
    // Nobody was asked for the user's clipboard: there is no way to read it here.
    bool clipboardUnread = false;
    // Where the selection stood in the element's text right before the paste.
    std::optional<TextMark> before;
    std::unique_ptr<PasteLease> lease;
    SteadyClock::time_point pastedAt;
    std::optional<SteadyClock::time_point> fetchedAt;
    bool reading = false;
    bool finished = false;
};

WriteBack::WriteBack(AccessibilityRunner& runner, KeyPaster* paster, WindowPaster* windowPaster)
    : m_runner(runner), m_paster(paster), m_windowPaster(windowPaster)
{}

WriteBack::WriteBack(AccessibilityBackend& backend, KeyPaster* paster, WindowPaster* windowPaster)
    : m_ownRunner(std::make_unique<InlineAccessibility>(backend)), m_runner(*m_ownRunner), m_paster(paster),
      m_windowPaster(windowPaster)
{}

WriteBack::~WriteBack() = default;

std::optional<WriteError> WriteBack::refusal(AccessibilityBackend& backend, const Element& element,
                                             const QString& selectedText)
{
    const std::optional<Pid> pid = element ? element->processId() : std::nullopt;
    if (!pid) {
        return WriteError{.kind = WriteError::Kind::gone, .message = "The element is gone; nothing was written back."};
    }
    // X11 cannot post keys to a process, only to the focused window: a paste that lands anywhere
    // else would change text the user never chose.
    if (backend.frontmostWindowOwnerPid() != pid) {
        return WriteError{.kind = WriteError::Kind::refused,
                          .message = "The application in front changed; nothing was written back."};
    }
    // A check that failed because the application did not answer says nothing about its text.
    const auto failed = [&](const char* reason) -> std::optional<WriteError> {
        if (!backend.isResponding(*pid)) {
            return WriteError{.kind = WriteError::Kind::unanswered,
                              .message = "The application did not answer; nothing was written back."};
        }
        return WriteError{.kind = WriteError::Kind::refused, .message = reason};
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

bool WriteBack::pasteShows(const TextMark& before, const TextMark& after, const std::optional<QString>& pasted,
                           const QString& text)
{
    // An untouched selection may hold the very text already (an Improve that changed nothing).
    if (after == before || !pasted) {
        return false;
    }
    return withoutSpace(*pasted) == withoutSpace(text);
}

void WriteBack::writeText(const Element& element, const QString& selectedText, const QString& text,
                          std::function<void(const WriteResult&)> done)
{
    auto write = std::make_shared<Write>();
    write->element = element;
    write->selectedText = selectedText;
    write->text = text;
    write->done = std::move(done);
    ++m_pending;
    if (m_paster == nullptr) {
        return copyUserClipboard(write);
    }
    m_paster->refreshToolkitTime([this, write, alive = QPointer<QObject>(&m_context)] {
        if (alive) {
            copyUserClipboard(write);
        }
    });
}

// The user's clipboard is copied before the checks, so that nothing slow stands between them and
// the paste: the keys go to the window that was checked.
void WriteBack::copyUserClipboard(const std::shared_ptr<Write>& write)
{
    if (auto own = ownClipboard()) {
        qCDebug(writeBackLog) << "The user's clipboard is our own: kept without asking anybody.";
        write->userClipboard = std::move(*own);
        return copyCompositorClipboard(write);
    }
    // A mixed session: the other side's paster serves the clipboard, which would otherwise come back
    // to us through the compositor.
    if (auto served = m_windowPaster != nullptr ? m_windowPaster->served() : std::nullopt) {
        write->userClipboard = std::move(served);
        return copyCompositorClipboard(write);
    }
    if (m_paster == nullptr) {
        write->clipboardUnread = true;
        return copyCompositorClipboard(write);
    }
    runInBackground(
        &m_context, [paster = m_paster] { return paster->copyClipboard(clipboardOwnerWait, maxKeptClipboardBytes); },
        [this, write](std::optional<ClipboardFormats> copied) {
            qCDebug(writeBackLog).noquote()
                << "The user's clipboard:"
                << (!copied           ? QStringLiteral("not kept")
                    : copied->empty() ? QStringLiteral("nobody holds it")
                                      : QStringLiteral("%1 formats kept from its owner").arg(copied->size()));
            write->userClipboard = std::move(copied);
            copyCompositorClipboard(write);
        });
}

// On sway and KWin the compositor's own clipboard is what a native window pastes from, and what is
// given back after such a paste; it may differ from XWayland's view of it.
void WriteBack::copyCompositorClipboard(const std::shared_ptr<Write>& write)
{
    if (m_windowPaster == nullptr || !m_windowPaster->hasClipboardOfItsOwn()) {
        return check(write);
    }
    m_windowPaster->copyClipboard(&m_context, [this, write](std::optional<ClipboardFormats> copied) {
        // While our X11 side holds the clipboard, the compositor's is mostly XWayland's offer of it,
        // which KWin hands over only in part, or not at all, once no X11 window is active: what it
        // did hand over that is ours (or nothing) means our own copy is the whole. Anything else
        // was copied natively since, and is the user's.
        if (QGuiApplication::clipboard()->ownsClipboard() && write->userClipboard) {
            const ClipboardFormats& own = *write->userClipboard;
            const auto ours = [&own](const auto& format) {
                return format.second.isEmpty() ||
                       std::ranges::any_of(own, [&format](const auto& kept) { return kept.second == format.second; });
            };
            if (!copied || std::ranges::all_of(*copied, ours)) {
                copied = write->userClipboard;
            }
        }
        write->compositorClipboard = std::move(copied);
        check(write);
    });
}

void WriteBack::check(const std::shared_ptr<Write>& write)
{
    m_runner.run(&m_context, [this, write](AccessibilityBackend& backend) {
        const std::optional<WriteError> refused = refusal(backend, write->element, write->selectedText);
        const std::optional<Pid> pid = refused ? std::nullopt : write->element->processId();
        const bool keys = pid && m_paster != nullptr && m_paster->reachesFocusOf(*pid);
        // Where our keys do not reach (Wayland), the compositor's paste comes first where it is open:
        // one Ctrl+Z takes it back whole, where GTK 4 and Qt keep an element's write as two steps.
        // Otherwise the element itself is written, right after the checks.
        const bool compositorKeys = m_windowPaster != nullptr && m_windowPaster->canSendKeys();
        const bool pasting = pid && (keys || compositorKeys);
        const bool written = pid && !pasting && backend.replaceSelection(write->element, write->text);
        const std::optional<TextMark> before = pasting ? backend.textMark(write->element) : std::nullopt;
        return [this, write, refused, pid, keys, compositorKeys, pasting, written, before] {
            write->before = before;
            if (pid) {
                qCDebug(writeBackLog).noquote()
                    << QStringLiteral("pid %1: %2")
                           .arg(*pid)
                           .arg(keys             ? QStringLiteral("our paste keys reach its focused window")
                                : compositorKeys ? QStringLiteral("our keys do not reach it; the compositor pastes")
                                : written        ? QStringLiteral("no keys reach it; its element was written directly")
                                                 : QStringLiteral("no keys reach it and its element refused the text"));
                if (pasting && !before) {
                    qCDebug(writeBackLog) << "The element's text cannot be read: the paste cannot be confirmed.";
                }
            }
            if (refused) {
                return finish(write, std::unexpected(*refused));
            }
            if (written) {
                qCInfo(writeBackLog) << "The text was written into the application's element and read back.";
                return finish(write, Written::confirmed);
            }
            if (!pasting) {
                // Without keys to send, the user can still paste it: the text stays on the clipboard.
                if (m_windowPaster != nullptr) {
                    m_windowPaster->offer(write->text);
                } else {
                    QGuiApplication::clipboard()->setText(write->text, QClipboard::Clipboard);
                }
                return finish(write, std::unexpected(WriteError{
                                         .kind = WriteError::Kind::onClipboard,
                                         .message = "The application does not let its text be written this way; "
                                                    "the text is on the clipboard instead."}));
            }
            std::optional<ClipboardFormats>& kept =
                keys || !m_windowPaster->hasClipboardOfItsOwn() ? write->userClipboard : write->compositorClipboard;
            if (!kept) {
                logError(write->clipboardUnread && &kept == &write->userClipboard
                             ? "Parlomatic cannot read the clipboard on this desktop; the pasted text stays on it"
                             : "The application holding the clipboard did not answer in time or holds too much; the "
                               "pasted text stays on it");
            }
            auto pasted = [this, write, keys, alive = QPointer<QObject>(&m_context)](WindowPaster::PasteResult lease) {
                if (!alive) {
                    return;
                }
                if (!lease) {
                    const std::string failure = "Could not send the paste keys: " + lease.error().message;
                    // A clipboard that cannot be ours cannot hold the text for the user either.
                    if (keys || lease.error().kind == PasteError::Kind::noClipboard) {
                        return finish(
                            write, std::unexpected(WriteError{.kind = WriteError::Kind::failed, .message = failure}));
                    }
                    // Nothing was pasted and the user's clipboard is back: the text waits on the
                    // clipboard for the user, as where no keys can be sent.
                    logError(failure);
                    m_windowPaster->offer(write->text);
                    return finish(write,
                                  std::unexpected(WriteError{.kind = WriteError::Kind::onClipboard,
                                                             .message = "The text is on the clipboard instead."}));
                }
                qCDebug(writeBackLog) << "The paste keys were sent.";
                write->lease = std::move(*lease);
                write->pastedAt = SteadyClock::now();
                watch(write);
            };
            if (keys) {
                pasteKeepingClipboard(*m_paster, write->text, std::move(kept), std::move(pasted));
            } else {
                m_windowPaster->pasteThen(write->text, std::move(kept), std::move(pasted));
            }
        };
    });
}

// Watches the element until our text shows where the selection was. Where the element's text cannot
// be read, the user's clipboard comes back as it always did: a while after the first fetch.
void WriteBack::watch(const std::shared_ptr<Write>& write)
{
    auto* timer = new QTimer(&m_context);
    timer->setInterval(confirmFirst);
    QObject::connect(timer, &QTimer::timeout, &m_context, [this, write, timer] {
        if (write->finished) {
            timer->deleteLater();
            return;
        }
        if (timer->interval() != confirmEvery.count()) {
            timer->setInterval(confirmEvery);
        }
        const auto now = SteadyClock::now();
        const auto waited = now - write->pastedAt;
        if (write->lease->fetched() && !write->fetchedAt) {
            write->fetchedAt = now;
        }
        if (!write->before) {
            if ((write->fetchedAt && now - *write->fetchedAt >= std::chrono::milliseconds(restoreAfterFetchMs)) ||
                waited >= std::chrono::milliseconds(restoreUnfetchedAfterMs)) {
                write->lease->giveBack();
                logError("The paste keys were sent; the application's text cannot be read to confirm it.");
                finish(write, Written::sent);
            }
            return;
        }
        if (waited >= m_confirmWithin) {
            if (!write->lease->fetched()) {
                write->lease->giveBack();
                return finish(write, std::unexpected(WriteError{
                                         .kind = WriteError::Kind::notTaken,
                                         .message = "No application took the pasted text in time; nothing was "
                                                    "written back."}));
            }
            return finish(write, std::unexpected(WriteError{
                                     .kind = WriteError::Kind::unconfirmed,
                                     .message = "The pasted text did not show in the application in time; it "
                                                "stays on the clipboard."}));
        }
        if (write->reading) {
            return;
        }
        write->reading = true;
        m_runner.run(&m_context, [this, write](AccessibilityBackend& backend) {
            const TextMark& before = *write->before;
            const std::optional<TextMark> after = backend.textMark(write->element);
            std::optional<QString> pasted;
            if (after && *after != before) {
                const int grown = after->length - (before.length - (before.end - before.start));
                if (grown > 0) {
                    pasted = backend.textBetween(write->element, before.start, before.start + grown);
                }
            }
            const bool shows = after && pasteShows(before, *after, pasted, write->text);
            return [this, write, shows] {
                write->reading = false;
                if (shows && !write->finished) {
                    write->lease->giveBack();
                    qCInfo(writeBackLog) << "The pasted text shows in the application; the user's clipboard is back.";
                    finish(write, Written::confirmed);
                }
            };
        });
    });
    timer->start();
}

void WriteBack::finish(const std::shared_ptr<Write>& write, const WriteResult& result)
{
    write->finished = true;
    --m_pending;
    if (!result) {
        logError(result.error().message);
    }
    if (write->done) {
        write->done(result);
    }
}

} // namespace parlomatic::selection
