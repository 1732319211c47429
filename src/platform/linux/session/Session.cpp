#include "platform/linux/session/Session.h"

#include <algorithm>
#include <cctype>
#include <ranges>
#include <string_view>

#include <unistd.h>

namespace parlomatic::platform {
namespace {

std::string valueOf(const Session::Environment& environment, const std::string& name)
{
    const auto found = environment.find(name);
    return found != environment.end() ? found->second : std::string();
}

bool equalsIgnoringCase(std::string_view one, std::string_view other)
{
    return std::ranges::equal(one, other, [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

// XDG_CURRENT_DESKTOP is a colon-separated list, most specific first ("ubuntu:GNOME").
bool listsDesktop(std::string_view desktops, std::string_view name)
{
    return std::ranges::any_of(std::views::split(desktops, ':'), [name](auto part) {
        return equalsIgnoringCase(std::string_view(part.begin(), part.end()), name);
    });
}

Compositor waylandCompositor(const Session& session, std::string_view desktops)
{
    // sway's own variable first: only with it can sway be asked anything.
    if (!session.swaySocket.empty() || listsDesktop(desktops, "sway")) {
        return Compositor::sway;
    }
    if (listsDesktop(desktops, "KDE")) {
        return Compositor::kwin;
    }
    if (listsDesktop(desktops, "GNOME")) {
        return Compositor::gnomeShell;
    }
    return Compositor::other;
}

} // namespace

Session Session::probe(const Environment& environment)
{
    Session session;
    session.waylandDisplay = valueOf(environment, "WAYLAND_DISPLAY");
    session.x11Display = valueOf(environment, "DISPLAY");
    session.swaySocket = valueOf(environment, "SWAYSOCK");
    if (!session.waylandDisplay.empty() || valueOf(environment, "XDG_SESSION_TYPE") == "wayland") {
        session.displayServer = DisplayServer::wayland;
        session.compositor = waylandCompositor(session, valueOf(environment, "XDG_CURRENT_DESKTOP"));
    } else if (!session.x11Display.empty()) {
        session.displayServer = DisplayServer::x11;
        session.compositor = Compositor::x11WindowManager;
    }
    return session;
}

Session Session::probe()
{
    Environment environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view line(*entry);
        if (const auto equals = line.find('='); equals != std::string_view::npos) {
            environment.emplace(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return probe(environment);
}

const char* compositorName(Compositor compositor)
{
    switch (compositor) {
    case Compositor::none:
        return "none";
    case Compositor::x11WindowManager:
        return "an X11 window manager";
    case Compositor::sway:
        return "sway";
    case Compositor::kwin:
        return "KWin";
    case Compositor::gnomeShell:
        return "GNOME Shell";
    case Compositor::other:
        break;
    }
    return "another compositor";
}

} // namespace parlomatic::platform
