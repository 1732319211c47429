// Runs inside scripts/desktop-session: the private desktop is private, apart from the user's own
// session. That its parts answer (accessibility bus, window manager, keyring) every end-to-end test
// relies on and checks by using them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(DesktopSession, IsPrivate)
{
    EXPECT_STREQ(std::getenv("PARLOMATIC_DESKTOP_SESSION"), "1");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(std::string(runtime).rfind(std::getenv("PARLOMATIC_SESSION_DIR"), 0), 0U);
}

} // namespace
