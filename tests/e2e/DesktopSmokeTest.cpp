// Runs inside scripts/desktop-session: the private desktop the end-to-end tests rely on is whole.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>

#include <gtest/gtest.h>

// Xlib defines macros (None, Success, Status) that clash with other headers: include it last.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <memory>

namespace {

QVariant property(const QString& service, const QString& path, const QString& interface, const QString& name)
{
    QDBusInterface properties(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                              QDBusConnection::sessionBus());
    const QDBusReply<QDBusVariant> reply = properties.call(QStringLiteral("Get"), interface, name);
    return reply.isValid() ? reply.value().variant() : QVariant();
}

TEST(DesktopSession, IsPrivate)
{
    EXPECT_STREQ(std::getenv("PARLOMATIC_DESKTOP_SESSION"), "1");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(std::string(runtime).rfind(std::getenv("PARLOMATIC_SESSION_DIR"), 0), 0U);
}

TEST(DesktopSession, AccessibilityBusAnswersAndIsEnabled)
{
    QDBusInterface bus(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"), QStringLiteral("org.a11y.Bus"),
                       QDBusConnection::sessionBus());
    const QDBusReply<QString> address = bus.call(QStringLiteral("GetAddress"));
    ASSERT_TRUE(address.isValid()) << address.error().message().toStdString();
    EXPECT_TRUE(address.value().startsWith(QStringLiteral("unix:")));
    EXPECT_TRUE(property(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                         QStringLiteral("org.a11y.Status"), QStringLiteral("IsEnabled"))
                    .toBool());
}

TEST(DesktopSession, WindowManagerIsUp)
{
    const std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
    ASSERT_NE(display, nullptr);
    const Atom check = XInternAtom(display.get(), "_NET_SUPPORTING_WM_CHECK", True);
    ASSERT_NE(check, 0UL);
    Atom type = 0;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display.get(), DefaultRootWindow(display.get()), check, 0, 1, False,
                                          XA_WINDOW, &type, &format, &items, &after, &data);
    const std::unique_ptr<unsigned char, int (*)(void*)> owned(data, XFree);
    ASSERT_EQ(status, Success);
    EXPECT_EQ(items, 1U);
}

TEST(DesktopSession, SecretServiceHasAnUnlockedDefaultCollection)
{
    QDBusInterface service(QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                           QStringLiteral("org.freedesktop.Secret.Service"), QDBusConnection::sessionBus());
    const QDBusReply<QDBusObjectPath> alias = service.call(QStringLiteral("ReadAlias"), QStringLiteral("default"));
    ASSERT_TRUE(alias.isValid()) << alias.error().message().toStdString();
    const QString path = alias.value().path();
    ASSERT_NE(path, QStringLiteral("/"));
    const QVariant locked = property(QStringLiteral("org.freedesktop.secrets"), path,
                                     QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Locked"));
    ASSERT_TRUE(locked.isValid());
    EXPECT_FALSE(locked.toBool());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
