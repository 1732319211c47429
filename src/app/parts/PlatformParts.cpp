#include "app/parts/PlatformParts.h"

#include "platform/linux/atspi/AtspiAccessibility.h"
#include "platform/linux/desktop/PortalGlobalShortcuts.h"
#include "platform/linux/wayland/WaylandPaster.h"
#include "platform/linux/wayland/gnome/GnomeShellShortcuts.h"
#include "platform/linux/wayland/gnome/GnomeShellWindows.h"
#include "platform/linux/wayland/gnome/MutterKeyPaster.h"
#include "platform/linux/wayland/kwin/KWinWindows.h"
#include "platform/linux/wayland/sway/SwayWindows.h"
#include "platform/linux/x11/X11GlobalShortcuts.h"
#include "platform/linux/x11/X11KeyPaster.h"
#include "selection/LogCategories.h"
#include "selection/WriteBack.h"

#include <QGuiApplication>

namespace parlomatic::app {

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

std::unique_ptr<selection::KeyPaster> PlatformParts::keyPaster() const
{
    return std::make_unique<platform::X11KeyPaster>(m_session.wayland());
}

std::unique_ptr<selection::WindowPaster> PlatformParts::windowPaster() const
{
    const auto mutter = []() -> std::unique_ptr<selection::WindowPaster> {
        if (!platform::MutterKeyPaster::available()) {
            return nullptr;
        }
        return std::make_unique<selection::KeyWindowPaster>(std::make_unique<platform::MutterKeyPaster>());
    };
    if (m_session.waylandDisplay.empty()) {
        return nullptr;
    }
    // GNOME Shell opens its clipboard to no client of ours.
    if (m_session.compositor == Compositor::gnomeShell) {
        return mutter();
    }
    std::unique_ptr<selection::WindowPaster> paster = platform::WaylandPaster::connect(m_session.waylandDisplay);
    if (paster || m_session.compositor != Compositor::other) {
        return paster;
    }
    return mutter();
}

std::unique_ptr<selection::GlobalShortcuts> PlatformParts::globalShortcuts() const
{
    // On Wayland a grab through XWayland would see the keys of XWayland's windows only: there GNOME
    // Shell holds them for us through our extension, other desktops through their portal; sway binds
    // them itself and runs `parlomatic --translate` and the like.
    if (!m_session.wayland()) {
        return std::make_unique<platform::X11GlobalShortcuts>();
    }
    if (m_session.compositor == Compositor::sway) {
        return nullptr;
    }
    if (platform::GnomeShellShortcuts::available()) {
        qCDebug(keysLog) << "GNOME Shell's extension holds the keys";
        return std::make_unique<platform::GnomeShellShortcuts>();
    }
    qCDebug(keysLog) << "The desktop's global-shortcuts portal is asked for the keys";
    return std::make_unique<platform::PortalGlobalShortcuts>();
}

bool PlatformParts::panelsPlaceThemselves() const
{
    return !m_session.waylandDisplay.empty() && QGuiApplication::platformName() == QLatin1StringView("xcb");
}

void runOnXWaylandUnderWayland(const platform::Session& session)
{
    if (!session.waylandDisplay.empty() && !session.x11Display.empty() &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
}

} // namespace parlomatic::app
