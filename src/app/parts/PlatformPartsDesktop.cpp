// What only the application makes: keys, pasters, global shortcuts and the panels' placement. Apart
// from the accessibility layer's parts, so the helper, which needs that layer alone, links none of it.

#include "app/parts/PlatformParts.h"

#include "platform/linux/desktop/PortalGlobalShortcuts.h"
#include "platform/linux/wayland/WaylandPaster.h"
#include "platform/linux/wayland/gnome/GnomeShellShortcuts.h"
#include "platform/linux/wayland/gnome/MutterKeyPaster.h"
#include "platform/linux/x11/X11GlobalShortcuts.h"
#include "platform/linux/x11/X11KeyPaster.h"
#include "selection/LogCategories.h"
#include "selection/WriteBack.h"

#include <QGuiApplication>

namespace parlomatic::app {

using platform::Compositor;

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
