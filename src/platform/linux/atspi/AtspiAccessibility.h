#pragma once

#include "platform/linux/session/Session.h"
#include "selection/AccessibilityBackend.h"

#include <memory>

namespace parlomatic::platform {

class WaylandWindows;

// The accessibility layer on the Linux desktop: AT-SPI over its own bus for elements, text and
// rectangles, the X11 window stack (EWMH) for the front process (on Wayland: AT-SPI's focus and
// active window; X11 for XWayland windows' positions, the compositor for native ones), and the
// session's accessibility switch for the enhanced mode. Every AT-SPI call is bounded by
// callTimeoutMs. Focus comes from events, which arrive while the process's main thread runs the
// default GLib main loop; used from that thread only. The application runs it in a helper process
// of its own (parlomatic-accessibility, see RemoteAccessibility), where the loss of the bus ends
// the process; one layer at a time per process.
class AtspiAccessibility final : public selection::AccessibilityBackend {
public:
    static constexpr int callTimeoutMs = 300;

    // For `session`; on Wayland `compositor` tells where native windows are (none: only XWayland
    // windows are placed). Made by the application's PlatformParts.
    AtspiAccessibility(const Session& session, std::unique_ptr<WaylandWindows> compositor);
    ~AtspiAccessibility() override;
    AtspiAccessibility(const AtspiAccessibility&) = delete;
    AtspiAccessibility& operator=(const AtspiAccessibility&) = delete;

    // False when AT-SPI could not be initialised; every read then gives nothing.
    bool isAvailable() const;

    std::optional<selection::Pid> frontmostWindowOwnerPid() override;
    selection::Element applicationElement(selection::Pid pid) override;
    selection::Element focusedElement(const selection::Element& application) override;
    std::optional<QString> bundleIdentifier(selection::Pid pid) override;
    std::optional<QString> selectedText(const selection::Element& element) override;
    // The selected range's length in the toolkit's units (GTK: code points, Qt: UTF-16), from the
    // range alone; nothing for a password field or without a selection.
    std::optional<int> selectionLength(const selection::Element& element) override;
    // The selection's range, or the caret where nothing is selected, read afresh at each call.
    std::optional<TextMark> textMark(const selection::Element& element) override;
    std::optional<QString> textBetween(const selection::Element& element, int start, int end) override;
    // The union of the first and the last selected character's extents: two cheap calls, exact for
    // a selection on one line. Over several lines the whole range's extents (one more call). An
    // unchanged selection costs no call while nothing says its view moved (AtspiSelectionCache),
    // else one (the first character, to follow scrolling rigidly). A password field gives nothing
    // here and in selectionBoundsFromRange.
    std::optional<selection::AxRect> selectionBoundsFromTextMarkers(const selection::Element& element) override;
    // The Text interface's extents of the whole selected range (toolkits compute it character by
    // character, eight times slower in GTK 3), used when the first way gives nothing.
    std::optional<selection::AxRect> selectionBoundsFromRange(const selection::Element& element) override;
    std::optional<selection::AxRect> elementFrame(const selection::Element& element) override;
    // The X11 window of the element's process (nothing for native Wayland windows).
    std::optional<selection::AxRect> windowFrame(const selection::Element& element) override;
    std::optional<QString> elementRole(const selection::Element& element) override;
    void readAncestorAttributes(const selection::Element& element) override;
    // Sets the session's IsEnabled switch unless it is already on (one switch for all applications).
    void enableEnhancedUserInterface(const selection::Element& application) override;
    void enableEnhancedUserInterfaceForRunningApps() override;
    // The EditableText interface: the selected range deleted, the text inserted at its start (in
    // UTF-8 bytes, which GTK counts and Qt clamps), read back and the caret put after it.
    bool replaceSelection(const selection::Element& element, const QString& text) override;
    // False once the accessibility bus this layer was made on has gone (its daemon ended).
    bool isConnected() override;
    bool isResponding(selection::Pid pid) override;
    // Selection changes, focus changes (gained or lost) and window activations, from AT-SPI events.
    void setChangeListener(std::function<void()> changed) override;

    // False for an element of a native Wayland window whose compositor does not tell where the
    // window is (WaylandWindows): its rectangles are relative to the window, whose position a
    // Wayland client cannot learn, so it gives no selection rectangle. Where the compositor tells
    // (sway), rectangles are the window's origin plus the toolkit's window coordinates.
    bool isWindowPositionKnown(const selection::Element& element);
    // False while the compositor asked about native windows has told nothing yet (KWin's script
    // answers a moment after the layer is made); true where it answers when asked, or where none is.
    bool hasCompositorAnswered();

    // Forgets remembered selection ranges, texts and roles, so the next step reads everything.
    void dropCachedReads();
    // A process whose calls ran into the time-out; it is left alone for a few seconds (every read
    // gives nothing), so a hung application does not slow every step down.
    bool isUnresponsive(selection::Pid pid);
    int enhancedPassCount() const;
    // Selection ranges read from applications (the rest came from memory).
    int selectionRangeReads() const;
    // Selection rectangles asked of applications (the rest were known not to have moved).
    int selectionExtentsReads() const;
    int focusSeedCount() const;
    // Whether anything is remembered of the process (forgotten once it has ended and left the bus).
    bool remembersProcess(selection::Pid pid) const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace parlomatic::platform
