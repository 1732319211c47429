// The accessibility layer and its window lookups: what the helper makes. Apart from the other parts,
// so the application, which reads through the helper, links nothing of libatspi.

#include "app/parts/PlatformParts.h"

#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/wayland/gnome/GnomeShellWindows.h"
#include "platform/linux/wayland/kwin/KWinWindows.h"
#include "platform/linux/wayland/sway/SwayWindows.h"
#include "selection/LogCategories.h"

namespace parlomatic::app {

using platform::Compositor;

std::unique_ptr<platform::AtspiAccessibility> PlatformParts::accessibilityLayer() const
{
    return std::make_unique<platform::AtspiAccessibility>(m_session, windowLocator());
}

std::unique_ptr<platform::WaylandWindows> PlatformParts::windowLocator() const
{
    switch (m_session.compositor) {
    case Compositor::none:
    case Compositor::x11WindowManager:
        return nullptr;
    case Compositor::sway: {
        auto windows = platform::SwayWindows::connect(m_session.swaySocket);
        qCDebug(sessionLog) << "sway: native windows from its IPC:" << (windows ? "connected" : "could not connect");
        return windows;
    }
    case Compositor::gnomeShell: {
        auto windows = platform::GnomeShellWindows::connect();
        qCDebug(sessionLog) << "GNOME Shell: native windows from Parlomatic's shell extension:"
                            << (windows ? "enabled" : "not enabled");
        return windows;
    }
    case Compositor::kwin: {
        auto windows = platform::KWinWindows::connect();
        qCDebug(sessionLog) << "KWin: native windows from its window script:" << (windows ? "loaded" : "not loaded");
        return windows;
    }
    case Compositor::other:
        break;
    }
    if (auto gnome = platform::GnomeShellWindows::connect()) {
        qCDebug(sessionLog) << "A compositor not told apart: GNOME Shell's extension answers";
        return gnome;
    }
    auto kwin = platform::KWinWindows::connect();
    qCDebug(sessionLog) << "A compositor not told apart, without GNOME Shell's extension; KWin's window script:"
                        << (kwin ? "loaded" : "not available, so native windows have no known place");
    return kwin;
}

} // namespace parlomatic::app
