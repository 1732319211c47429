#pragma once

#include "selection/axUtils.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace parlomatic::selection {

struct SelectionReading; // selection/SelectionReader.h

// What a layer that steps on its own is asked to watch (AccessibilityBackend::watchSelections).
struct SelectionWatch {
    // A step this often, and soon after each announced change; zero stops the steps.
    std::chrono::milliseconds every{0};
    // Parlomatic's own process: its windows are never read.
    Pid ownPid = 0;
    // The ids of the applications the user turned the watcher off in: nothing of them is read.
    QStringList turnedOff;
    // Handed back with each reading, so readings of an earlier watch can be told apart.
    std::int64_t generation = 0;
};

// The accessibility layer: the only reader of other applications' user interfaces. Every read that
// fails, answers without a value or answers a value of an unexpected type is nothing; nothing here
// throws, retries or reports to the user. Implementations bound every call to another process by a
// short time-out, and the layer is used from one thread only: the one that made it (in the
// application a thread of its own, see AccessibilityThread, talking to the helper process that runs
// the platform's layer), so a hung application never freezes the user interface.
class AccessibilityBackend {
public:
    virtual ~AccessibilityBackend() = default;

    // The owner of the frontmost ordinary (layer 0) window; floating tool windows never count.
    virtual std::optional<Pid> frontmostWindowOwnerPid() = 0;
    // The application element of a process, or nothing when the process exposes no accessibility tree.
    virtual Element applicationElement(Pid pid) = 0;
    // The element with the keyboard focus in that application.
    virtual Element focusedElement(const Element& application) = 0;
    // The running application's identifier (on Linux its accessibility name), or nothing.
    virtual std::optional<QString> bundleIdentifier(Pid pid) = 0;

    // The selected text, possibly empty. Nothing for a password field, whose text is never read.
    virtual std::optional<QString> selectedText(const Element& element) = 0;
    // The length of the selection in the toolkit's own units, read without its text; nothing when
    // it cannot be told that way (the text is then read as usual).
    virtual std::optional<int> selectionLength(const Element& element)
    {
        static_cast<void>(element);
        return std::nullopt;
    }
    // Writes `text` over the element's selection through the accessibility interface itself (no
    // clipboard, no keys), where the element allows that: true when the text read back shows
    // exactly that change. False, with nothing written, where it cannot be done that way.
    virtual bool replaceSelection(const Element& element, const QString& text)
    {
        static_cast<void>(element);
        static_cast<void>(text);
        return false;
    }
    // Where the element's selection lies in its text (the toolkit's own units) and how long that
    // text is: what a paste over the selection is later measured against. Nothing for a password
    // field, for a selection spread over several objects, or where the text cannot be read.
    struct TextMark {
        int start = 0;
        int end = 0;
        int length = 0;
        friend bool operator==(const TextMark&, const TextMark&) = default;
    };
    virtual std::optional<TextMark> textMark(const Element& element)
    {
        static_cast<void>(element);
        return std::nullopt;
    }
    // The element's text from `start` to `end` (the toolkit's units); nothing for a password field.
    virtual std::optional<QString> textBetween(const Element& element, int start, int end)
    {
        static_cast<void>(element);
        static_cast<void>(start);
        static_cast<void>(end);
        return std::nullopt;
    }
    // The selection's rectangle, read over the whole selected range.
    virtual std::optional<AxRect> selectionBoundsFromTextMarkers(const Element& element) = 0;
    // The selection's rectangle by the second way the platform offers (used when the first gives nothing).
    virtual std::optional<AxRect> selectionBoundsFromRange(const Element& element) = 0;
    // The element's own rectangle.
    virtual std::optional<AxRect> elementFrame(const Element& element) = 0;
    // The frame of the window the element is in, where the platform tells (X11); nothing elsewhere.
    virtual std::optional<AxRect> windowFrame(const Element& element)
    {
        static_cast<void>(element);
        return std::nullopt;
    }
    // "AXTextArea", "AXTextField", "AXSecureTextField" or a read-only role name.
    virtual std::optional<QString> elementRole(const Element& element) = 0;

    // Reads every attribute of the element and of all its ancestors, discarding the values.
    virtual void readAncestorAttributes(const Element& element) = 0;
    // Switches one application into its enhanced accessibility mode unless it is already there.
    virtual void enableEnhancedUserInterface(const Element& application) = 0;
    // The same for every running application; the costly pass, run on a change of front process.
    virtual void enableEnhancedUserInterfaceForRunningApps() = 0;

    // The reads of a poll step past the front process, all at once: its focused element, role,
    // selection, rectangle and text (SelectionReader.h, readFocusedSelection). A layer behind a
    // process boundary answers it in one request instead of one per read.
    virtual SelectionReading readFocused(Pid pid);

    // Runs the whole poll steps where the layer lives (SelectionReader with `watch`'s filter), and
    // hands `changed` a step's reading, on the layer's thread, whenever it differs from the one
    // handed over last (the first one at once); an empty `watch.every` stops. Saves the round trips
    // of a step for a layer behind a process boundary. False, with nothing done, where the layer
    // cannot: the caller then runs the steps itself.
    virtual bool watchSelections(const SelectionWatch& watch,
                                 std::function<void(SelectionReading, std::int64_t generation)>
                                     changed) // NOLINT(performance-unnecessary-value-param): overrides keep it
    {
        static_cast<void>(watch);
        static_cast<void>(changed);
        return false;
    }

    // False once the layer has lost its connection for good (the accessibility bus went away): it
    // must be made anew.
    virtual bool isConnected() { return true; }
    // False while the process is known not to answer accessibility calls in time (it has just let
    // one run into the time-out).
    virtual bool isResponding(Pid pid)
    {
        static_cast<void>(pid);
        return true;
    }

    // `changed` runs on the layer's thread whenever the platform announces a change of a selection, of
    // the focus or of the active window, so the caller can look before its next regular step. An
    // empty function stops the announcements. Platforms that announce nothing ignore it.
    virtual void
    setChangeListener(std::function<void()> changed) // NOLINT(performance-unnecessary-value-param): overrides keep it
    {
        static_cast<void>(changed);
    }

protected:
    AccessibilityBackend() = default;
    AccessibilityBackend(const AccessibilityBackend&) = default;
    AccessibilityBackend& operator=(const AccessibilityBackend&) = default;
};

} // namespace parlomatic::selection
