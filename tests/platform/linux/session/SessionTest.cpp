#include "platform/linux/session/Session.h"

#include <gtest/gtest.h>

namespace parlomatic::platform {
namespace {

struct SessionCase {
    const char* name;
    Session::Environment environment;
    DisplayServer displayServer;
    Compositor compositor;
    bool xwayland;
};

class SessionProbeTest : public testing::TestWithParam<SessionCase> {};

TEST_P(SessionProbeTest, TellsTheSessionFromItsEnvironment)
{
    const SessionCase& expected = GetParam();
    const Session session = Session::probe(expected.environment);
    EXPECT_EQ(session.displayServer, expected.displayServer);
    EXPECT_EQ(session.compositor, expected.compositor);
    EXPECT_EQ(session.xwayland(), expected.xwayland);
}

// What each kind of session sets, as measured on the real ones.
INSTANTIATE_TEST_SUITE_P(
    Sessions, SessionProbeTest,
    testing::Values(
        SessionCase{"x11",
                    {{"DISPLAY", ":0"}, {"XDG_SESSION_TYPE", "x11"}, {"XDG_CURRENT_DESKTOP", "GNOME"}},
                    DisplayServer::x11,
                    Compositor::x11WindowManager,
                    false},
        SessionCase{"sway",
                    {{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":1"}, {"SWAYSOCK", "/run/user/1000/sway.sock"}},
                    DisplayServer::wayland,
                    Compositor::sway,
                    true},
        SessionCase{"kwin",
                    {{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_SESSION_TYPE", "wayland"}, {"XDG_CURRENT_DESKTOP", "KDE"}},
                    DisplayServer::wayland,
                    Compositor::kwin,
                    false},
        SessionCase{"gnome",
                    {{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}, {"XDG_CURRENT_DESKTOP", "ubuntu:GNOME"}},
                    DisplayServer::wayland,
                    Compositor::gnomeShell,
                    true},
        // A desktop whose name merely contains another's is not that one.
        SessionCase{"unknown",
                    {{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}, {"XDG_CURRENT_DESKTOP", "GNOMEish"}},
                    DisplayServer::wayland,
                    Compositor::other,
                    true},
        // XDG_SESSION_TYPE alone says Wayland; empty variables count as unset.
        SessionCase{"typeOnly",
                    {{"XDG_SESSION_TYPE", "wayland"}, {"WAYLAND_DISPLAY", ""}, {"SWAYSOCK", ""}},
                    DisplayServer::wayland,
                    Compositor::other,
                    false},
        SessionCase{"nothing", {}, DisplayServer::none, Compositor::none, false}),
    [](const testing::TestParamInfo<SessionCase>& tested) { return tested.param.name; });

TEST(SessionProbe, KeepsWhatConnectingNeeds)
{
    const Session session = Session::probe(
        {{"WAYLAND_DISPLAY", "/tmp/sway/wayland-1"}, {"DISPLAY", ":1"}, {"SWAYSOCK", "/tmp/sway/ipc.sock"}});
    EXPECT_EQ(session.waylandDisplay, "/tmp/sway/wayland-1");
    EXPECT_EQ(session.x11Display, ":1");
    EXPECT_EQ(session.swaySocket, "/tmp/sway/ipc.sock");
    EXPECT_FALSE(session.xwaylandRootMayBeScaled());
    EXPECT_FALSE(Session::probe({{"XDG_SESSION_TYPE", "wayland"}}).hasDisplay());
    EXPECT_TRUE(Session::probe({{"WAYLAND_DISPLAY", "w"}, {"XDG_CURRENT_DESKTOP", "KDE"}}).xwaylandRootMayBeScaled());
}

} // namespace
} // namespace parlomatic::platform
