#pragma once

#include "selection/AccessibilityRunner.h"
#include "selection/KeyPaster.h"
#include "selection/WindowPaster.h"
#include "selection/WriteError.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace parlomatic::selection {

// Writes a text over the selection of another application: the user's clipboard copied first (off
// the GUI thread where another application holds it), then the checks, then at once our text on the
// clipboard and the paste shortcut; without a way to send keys (Wayland), through the accessibility
// interface of the element itself, where the toolkit offers that. The checks: the element's process
// still owns the front window, the element still has that application's focus and its selection is
// still the one the text was made for; otherwise nothing is written and one line is logged (never the
// text). After a paste the element is watched until our text shows where the selection was; only
// then does the user's clipboard come back. GUI thread only.
class WriteBack {
public:
    // Where the key paster does not reach the window (none at all, or a native Wayland window), the
    // text is pasted through the compositor (`windowPaster`) where that sends keys; else the element
    // itself is written where it lets that, and otherwise the text is left on the clipboard. The
    // pasters must outlive this object, as must `runner`.
    WriteBack(AccessibilityRunner& runner, KeyPaster* paster, WindowPaster* windowPaster = nullptr);
    // With a layer read on the GUI thread itself (tests): the checks and the paste run at once.
    WriteBack(AccessibilityBackend& backend, KeyPaster* paster, WindowPaster* windowPaster = nullptr);
    ~WriteBack();
    WriteBack(const WriteBack&) = delete;
    WriteBack& operator=(const WriteBack&) = delete;

    // Writes `text` over the element's selection, which must still be `selectedText` (compared
    // without white space at either end). `done` (optional) gets the result once it is known (after
    // a paste: once our text shows, or after confirmWithin); nothing runs once this object is gone.
    void writeText(const Element& element, const QString& selectedText, const QString& text,
                   std::function<void(const WriteResult&)> done = {});

    // How many writes have not come to their outcome yet.
    int pending() const { return m_pending; }
    // A shorter watch than confirmWithin (tests).
    void setConfirmWithin(std::chrono::milliseconds bound) { m_confirmWithin = bound; }

    // Why nothing may be written over the element's selection now (refused, gone or unanswered),
    // or nothing when all is as it was. On the layer's thread.
    static std::optional<WriteError> refusal(AccessibilityBackend& backend, const Element& element,
                                             const QString& selectedText);

    // Whether a paste of `text` over the selection `before` shows in the element as read `after` it,
    // with `pasted` the element's text from the selection's start over the length the text grew by.
    using TextMark = AccessibilityBackend::TextMark;
    static bool pasteShows(const TextMark& before, const TextMark& after, const std::optional<QString>& pasted,
                           const QString& text);

    // After a paste the element is read this often, for at most this long: a busy application (saving,
    // indexing, a browser under load) may take a few seconds to read the clipboard. Past that, the
    // user's clipboard comes back only if nobody fetched our text; otherwise our text stays on it.
    // The first read comes sooner: an application at rest has our text in place within milliseconds,
    // and until it shows, a Ctrl+V of the user's own would paste our text instead of their clipboard.
    static constexpr std::chrono::milliseconds confirmFirst{20};
    static constexpr std::chrono::milliseconds confirmEvery{100};
    static constexpr std::chrono::milliseconds confirmWithin{6000};
    // Where the element's text cannot be read back, the user's clipboard comes back this long after
    // the first fetch of our text (the application may ask for several formats), or after
    // restoreUnfetchedAfter when nobody asked.
    static constexpr int restoreAfterFetchMs = 500;
    static constexpr int restoreUnfetchedAfterMs = 5000;
    // A clipboard larger than this is not copied, and not put back.
    static constexpr qsizetype maxKeptClipboardBytes = qsizetype{64} * 1024 * 1024;
    // Another application's clipboard that lets one request wait this long is not copied.
    static constexpr std::chrono::milliseconds clipboardOwnerWait{200};

    // The paste through Qt's (X11) clipboard: our text on it, keeping `userClipboard` (nothing: not
    // kept) for giveBack(), and the paste keys pressed; then `done` with the lease, or why not, when
    // the clipboard could not be taken or the keys could not be sent (the clipboard is then given
    // back at once).
    static void pasteKeepingClipboard(KeyPaster& keys, const QString& text,
                                      std::optional<ClipboardFormats> userClipboard, WindowPaster::Pasted done);

private:
    struct Write;
    void copyUserClipboard(const std::shared_ptr<Write>& write);
    void copyCompositorClipboard(const std::shared_ptr<Write>& write);
    void check(const std::shared_ptr<Write>& write);
    void paste(const std::shared_ptr<Write>& write);
    void watch(const std::shared_ptr<Write>& write);
    void finish(const std::shared_ptr<Write>& write, const WriteResult& result);

    std::unique_ptr<AccessibilityRunner> m_ownRunner;
    AccessibilityRunner& m_runner;
    KeyPaster* m_paster;
    WindowPaster* m_windowPaster;
    std::chrono::milliseconds m_confirmWithin = confirmWithin;
    int m_pending = 0;
    // The context of the checks' and the watch's continuations: they are dropped with this object.
    QObject m_context;
};

// A paste through our own clipboard and `keys`, for a compositor that hands that clipboard to
// native windows and sends keys of its own (GNOME Shell).
class KeyWindowPaster final : public WindowPaster {
public:
    explicit KeyWindowPaster(std::unique_ptr<KeyPaster> keys);
    ~KeyWindowPaster() override;
    KeyWindowPaster(const KeyWindowPaster&) = delete;
    KeyWindowPaster& operator=(const KeyWindowPaster&) = delete;

    bool canSendKeys() const override { return true; }
    void pasteThen(const QString& text, std::optional<ClipboardFormats> userClipboard, Pasted pasted) override;
    void offer(const QString& text) override;

private:
    std::unique_ptr<KeyPaster> m_keys;
};

} // namespace parlomatic::selection
