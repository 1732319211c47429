#pragma once

#include "platform/linux/wayland/WaylandWindows.h"

#include <QObject>
#include <QString>

#include <array>

namespace parlomatic::platform {

// KWin (KDE Plasma) tells where its active window is to a script of ours: loaded at start through
// its D-Bus scripting interface, it follows the active window and its geometry and calls back
// into this object on our session-bus connection (delivered on the thread the object lives on, the
// layer's). Nothing is asked of KWin per step.
class KWinWindows final : public QObject, public WaylandWindows {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.parlomatic.KWinWindows")
public:
    // Nothing when KWin is not on the session bus or refused the script.
    static std::unique_ptr<KWinWindows> connect();
    ~KWinWindows() override;

    std::optional<WindowGeometry> focusedWindow(selection::Pid pid) override;
    std::optional<selection::Pid> focusedProcess() override;
    unsigned long layoutChanges() override;
    bool hasAnswered() override;

    // The script KWin runs, calling back `service` (our connection's unique name).
    static QString script(const QString& service, const QString& path);

    // The script's report of the active window, in activeWindow's order: its process (0 when
    // none), its frame and its surface, each of them only when it has a size.
    static FocusedWindow fromReport(const std::array<int, 9>& values, double rootScale);
    // XWayland's root units per layout unit: the root's width over the layout's, to hundredths, at
    // least 1.
    static double rootScaleFor(unsigned rootWidth, int layoutWidth);

public slots:
    // From the script, before each window report: the width of KWin's whole layout.
    Q_SCRIPTABLE void layoutWidth(int width);
    // From the script: the active window's process (0 when none), its frame and its surface.
    Q_SCRIPTABLE void activeWindow(int pid, int x, int y, int width, int height, int surfaceX, int surfaceY,
                                   int surfaceWidth, int surfaceHeight);

private:
    KWinWindows() = default;

    // XWayland's root units per layout unit, worked out from its root's width over `layoutWidth`.
    double rootScale(int layoutWidth);

    int m_layoutWidth = 0;
    double m_rootScale = 1;
    selection::Pid m_pid = 0;
    std::optional<WindowGeometry> m_window;
    unsigned long m_changes = 1;
    bool m_answered = false;
    QString m_objectPath;
    QString m_scriptFile;
    QString m_pluginName;
};

} // namespace parlomatic::platform
