#pragma once

#include "selection/AccessibilityRunner.h"
#include "selection/KeyPaster.h"
#include "selection/WindowPaster.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace parlomatic {

// Writes a text over the selection of another application: the clipboard, then the paste
// shortcut; without a way to send keys (Wayland), through the accessibility interface of the
// element itself, where the toolkit offers that. Right before it writes, it checks that the element's process still
// owns the front window, that the element still has that application's focus and that its selection is still the one
// the text was made for; otherwise it writes nothing and logs one line (never the text). The checks run where the
// accessibility layer lives; the paste on the GUI thread. GUI thread only.
class WriteBack {
public:
    // Where the key paster does not reach the window (none at all, or a native Wayland window), the
    // text is pasted through the compositor (`windowPaster`) where that sends keys; else the element
    // itself is written where it lets that, and otherwise the text is left on the clipboard. The
    // pasters must outlive this object, as must `runner`.
    WriteBack(AccessibilityRunner& runner, KeyPaster* paster, WindowPaster* windowPaster = nullptr);
    // With a layer read on the GUI thread itself (tests): the checks and the paste run at once.
    WriteBack(AccessibilityBackend& backend, KeyPaster* paster, WindowPaster* windowPaster = nullptr);

    enum class Outcome {
        written,     // the paste was sent (whether the application took it cannot be known), or the
                     // element was written and read back
        refused,     // the application, the focus or the selection changed: nothing was written
        unanswered,  // the application did not answer the checks in time: nothing was written
        failed,      // the paste keys could not be sent
        onClipboard, // no keys to send, and the element refused the write: the text waits on the
                     // clipboard for the user to paste
    };
    // Writes `text` over the element's selection, which must still be `selectedText` (compared
    // without white space at either end). `done` (optional) gets the outcome; nothing runs once
    // this object is gone.
    void writeText(const Element& element, const QString& selectedText, const QString& text,
                   std::function<void(Outcome)> done = {});

    // Why nothing may be written over the element's selection now, or nothing when all is as it
    // was. On the layer's thread.
    struct Refusal {
        std::string reason;
        bool unanswered = false; // the checks ran into the application's time-out
    };
    static std::optional<Refusal> refusal(AccessibilityBackend& backend, const Element& element,
                                          const QString& selectedText);

    // After a paste, the user's own clipboard comes back: once the application has fetched the
    // pasted text and this long has passed (it may ask for several formats), or after
    // restoreUnfetchedAfter when it never asked. A clipboard the user has set meanwhile stays.
    static constexpr int restoreAfterFetchMs = 500;
    static constexpr int restoreUnfetchedAfterMs = 5000;
    // A clipboard larger than this is not copied, and not put back.
    static constexpr qsizetype maxKeptClipboardBytes = 64 * 1024 * 1024;
    // Another application's clipboard that has not answered in this time is not copied.
    static constexpr std::chrono::milliseconds clipboardOwnerWait{200};

    // The paste through our own clipboard: what it held is copied first and put back as above.
    // False when the keys could not be sent (the clipboard is then given back at once).
    static bool pasteKeepingClipboard(KeyPaster& keys, const QString& text);

private:
    std::unique_ptr<AccessibilityRunner> m_ownRunner;
    AccessibilityRunner& m_runner;
    KeyPaster* m_paster;
    WindowPaster* m_windowPaster;
    // The context of the checks' continuations: they are dropped with this object.
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
    std::expected<void, std::string> paste(const QString& text) override;
    void offer(const QString& text) override;

private:
    std::unique_ptr<KeyPaster> m_keys;
};

} // namespace parlomatic
