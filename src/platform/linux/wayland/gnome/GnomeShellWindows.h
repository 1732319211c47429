#pragma once

#include "platform/linux/wayland/WaylandWindows.h"

#include <QObject>
#include <QVariantList>

namespace parlomatic::platform {

// GNOME Shell tells where its focused window is only to a shell extension of ours
// ("windows@parlomatic.app", shipped with Parlomatic), which answers on the session bus and
// announces every change of the focused window or of its place. The window is asked for again
// only after such an announcement.
class GnomeShellWindows final : public QObject, public WaylandWindows {
    Q_OBJECT
public:
    static constexpr const char* extensionUuid = "windows@parlomatic.app";

    // Nothing when the extension does not answer (not installed, not enabled, or GNOME Shell not
    // restarted since: a new extension loads at the next log-in).
    static std::unique_ptr<GnomeShellWindows> connect();

    // The extension's answer to FocusedWindow: the process, the frame and the surface (x, y, width
    // and height each) and the output's scale, which counts only where the shell lays its outputs
    // out in pixels. No window with fewer than nine values, or without a process or a frame.
    static FocusedWindow fromReply(const QVariantList& values, bool layoutInPixels);

    std::optional<WindowGeometry> focusedWindow(selection::Pid pid) override;
    std::optional<selection::Pid> focusedProcess() override;
    unsigned long layoutChanges() override;

private slots:
    void changed();
    void outputsChanged();

private:
    GnomeShellWindows() = default;
    // The focused window, asked for again after an announcement.
    void refresh();

    unsigned long m_changes = 1;
    unsigned long m_read = 0;
    selection::Pid m_pid = 0;
    std::optional<WindowGeometry> m_window;
    std::optional<bool> m_layoutInPixels;
};

} // namespace parlomatic::platform
