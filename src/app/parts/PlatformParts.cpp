#include "app/parts/PlatformParts.h"

#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/wayland/gnome/GnomeShellWindows.h"
#include "platform/linux/wayland/kwin/KWinWindows.h"
#include "platform/linux/wayland/sway/SwayWindows.h"
#include "selection/LogCategories.h"

namespace parlomatic {

using platform::Compositor;

namespace {

QString describe(const platform::Session& session)
{
    if (!session.wayland()) {
        return session.hasDisplay() ? QStringLiteral("Session: X11") : QStringLiteral("Session: no display");
    }
    QString line = QStringLiteral("Session: Wayland under %1, %2")
                       .arg(QString::fromLatin1(platform::compositorName(session.compositor)),
                            session.xwayland() ? QStringLiteral("with XWayland") : QStringLiteral("without XWayland"));
    if (session.xwaylandRootMayBeScaled()) {
        line += QStringLiteral("; XWayland's root may be scaled (measured from its size)");
    }
    if (session.windowUnitsMayBeScaled()) {
        line += QStringLiteral("; a window's own units may be its output's pixels (told per window)");
    }
    return line;
}

} // namespace

PlatformParts::PlatformParts(platform::Session session) : m_session(std::move(session))
{
    qCDebug(sessionLog).noquote() << describe(m_session);
}

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

} // namespace parlomatic
