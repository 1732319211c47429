// The global-shortcuts portal client against a portal of the test's own on a private bus: the calls
// and signals of org.freedesktop.portal.GlobalShortcuts as the desktop's portal makes them.

#include "platform/linux/desktop/PortalGlobalShortcuts.h"
#include "support/ChildProcess.h"
#include "support/LogCapture.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace parlomatic::platform {
namespace {

using namespace std::chrono_literals;

QString portalPath()
{
    return QStringLiteral("/org/freedesktop/portal/desktop");
}

bool waitUntil(const std::function<bool()>& condition)
{
    QElapsedTimer waited;
    waited.start();
    while (!condition() && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return condition();
}

// The portal's side: answers each request through its Response signal, as the portal does after the
// desktop has asked the user. `bindResponse` 1 is the user turning the dialog down.
class FakePortal final : public QDBusVirtualObject {
public:
    explicit FakePortal(QDBusConnection bus) : m_bus(std::move(bus)) {}

    QString introspect(const QString& /*path*/) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& /*connection*/) override
    {
        const QString sender = message.service().mid(1).replace(u'.', u'_');
        const auto options = [&](int index) { return qdbus_cast<QVariantMap>(message.arguments().value(index)); };
        if (message.member() == QLatin1String("Close")) {
            closed << message.path();
            return true;
        }
        const int optionsAt = message.member() == QLatin1String("CreateSession") ? 0 : 3;
        const QString request =
            portalPath() +
            QStringLiteral("/request/%1/%2").arg(sender, options(optionsAt).value("handle_token").toString());
        m_bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QVariantMap results;
        uint response = 0;
        if (message.member() == QLatin1String("CreateSession")) {
            session = portalPath() +
                      QStringLiteral("/session/%1/%2").arg(sender, options(0).value("session_handle_token").toString());
            results.insert(QStringLiteral("session_handle"), session);
        } else {
            bound = readShortcuts(message.arguments().at(1).value<QDBusArgument>());
            response = bindResponse;
        }
        QDBusMessage answer =
            QDBusMessage::createSignal(request, QStringLiteral("org.freedesktop.portal.Request"), "Response");
        answer << response << results;
        m_bus.send(answer);
        return true;
    }

    void press(const QString& id, const QString& inSession)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            portalPath(), QStringLiteral("org.freedesktop.portal.GlobalShortcuts"), "Activated");
        signal << QVariant::fromValue(QDBusObjectPath(inSession)) << id << qulonglong{0} << QVariantMap();
        m_bus.send(signal);
    }

    // id -> preferred trigger
    static std::map<QString, QString> readShortcuts(const QDBusArgument& argument)
    {
        std::map<QString, QString> shortcuts;
        for (argument.beginArray(); !argument.atEnd(); argument.endStructure()) {
            QString id;
            QVariantMap properties;
            argument.beginStructure();
            argument >> id >> properties;
            shortcuts[id] = properties.value(QStringLiteral("preferred_trigger")).toString();
        }
        argument.endArray();
        return shortcuts;
    }

    uint bindResponse = 0;
    QString session;
    std::map<QString, QString> bound;
    QStringList closed;

private:
    QDBusConnection m_bus;
};

class PortalGlobalShortcutsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // A bus that starts no service of the machine's (its real portal among them).
        QFile config(m_folder.filePath(QStringLiteral("bus.conf")));
        ASSERT_TRUE(config.open(QIODevice::WriteOnly));
        config.write("<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><policy context=\"default\">"
                     "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                     "</policy></busconfig>");
        config.close();
        m_daemon.emplace(std::vector<std::string>{"dbus-daemon", "--config-file=" + config.fileName().toStdString(),
                                                  "--nofork", "--print-address=1"});
        const std::optional<std::string> address = m_daemon->readLine(5s);
        ASSERT_TRUE(address) << "dbus-daemon did not start";
        m_client = QDBusConnection::connectToBus(QString::fromStdString(*address), QStringLiteral("client"));
        m_portalBus = QDBusConnection::connectToBus(QString::fromStdString(*address), QStringLiteral("portal"));
        ASSERT_TRUE(m_client.isConnected() && m_portalBus.isConnected());
        m_portal = std::make_unique<FakePortal>(m_portalBus);
    }
    void TearDown() override
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
        if (m_daemon && m_daemon->started()) {
            ::kill(m_daemon->pid(), SIGTERM); // it outlives its closed input
        }
    }
    void servePortal()
    {
        ASSERT_TRUE(m_portalBus.registerVirtualObject(portalPath(), m_portal.get(), QDBusConnection::SubPath));
        ASSERT_TRUE(m_portalBus.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    }
    static std::vector<selection::GlobalShortcuts::Binding> defaults()
    {
        return {{.action = selection::ShortcutAction::translate, .keys = QKeySequence(QStringLiteral("Ctrl+Alt+E"))},
                {.action = selection::ShortcutAction::replace, .keys = QKeySequence(QStringLiteral("Ctrl+Alt+R"))},
                {.action = selection::ShortcutAction::improve, .keys = QKeySequence()}};
    }

    QTemporaryDir m_folder;
    std::optional<test::ChildProcess> m_daemon;
    QDBusConnection m_client{QString()};
    QDBusConnection m_portalBus{QString()};
    std::unique_ptr<FakePortal> m_portal;
};

TEST_F(PortalGlobalShortcutsTest, BindsTheShortcutsAndRunsTheOnesPressedInItsSession)
{
    servePortal();
    PortalGlobalShortcuts shortcuts(m_client);
    std::vector<selection::ShortcutAction> pressed;
    shortcuts.setActivated([&pressed](selection::ShortcutAction action) { pressed.push_back(action); });
    EXPECT_TRUE(shortcuts.bind(defaults()).empty());
    ASSERT_TRUE(waitUntil([&] { return !shortcuts.outcome().isEmpty(); }));
    EXPECT_EQ(shortcuts.outcome(), PortalGlobalShortcuts::bound);
    EXPECT_TRUE(m_portal->session.endsWith(QLatin1String("/parlomatic"))) << "a name the desktop files the keys under";
    const std::map<QString, QString> expected{{"translate", "CTRL+ALT+e"}, {"replace", "CTRL+ALT+r"}};
    EXPECT_EQ(m_portal->bound, expected) << "a cleared shortcut is not offered";

    m_portal->press(QStringLiteral("improve"), m_portal->session);
    m_portal->press(QStringLiteral("replace"), portalPath() + QStringLiteral("/session/other/parlomatic"));
    m_portal->press(QStringLiteral("replace"), m_portal->session);
    ASSERT_TRUE(waitUntil([&] { return !pressed.empty(); }));
    EXPECT_EQ(pressed, std::vector{selection::ShortcutAction::replace})
        << "unbound ids and other sessions are not ours";

    // New keys: the session is closed and another one binds them; none: closed, and presses do nothing.
    const QString first = m_portal->session;
    shortcuts.bind(
        {{.action = selection::ShortcutAction::improve, .keys = QKeySequence(QStringLiteral("Meta+Shift+F5"))}});
    ASSERT_TRUE(waitUntil([&] { return shortcuts.outcome() == PortalGlobalShortcuts::bound; }));
    EXPECT_EQ(m_portal->closed, QStringList{first});
    EXPECT_EQ(m_portal->bound, (std::map<QString, QString>{{"improve", "LOGO+SHIFT+F5"}}));
    shortcuts.bind({});
    EXPECT_TRUE(waitUntil([&] { return m_portal->closed.size() == 2; }));
    m_portal->press(QStringLiteral("improve"), m_portal->session);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(pressed.size(), 1U);
}

// No portal on the bus, and a desktop whose dialog the user turned down: nothing is held, and the log says why.
TEST_F(PortalGlobalShortcutsTest, AMissingOrRefusingPortalHoldsNothingAndSaysSo)
{
    const test::LogCapture logs;
    {
        PortalGlobalShortcuts shortcuts(m_client);
        shortcuts.bind(defaults());
        ASSERT_TRUE(waitUntil([&] { return !shortcuts.outcome().isEmpty(); }));
        EXPECT_TRUE(shortcuts.outcome().contains(QLatin1String("offers no global shortcuts")))
            << shortcuts.outcome().toStdString();
        EXPECT_TRUE(logs.contains("keyboard shortcuts are not held"));
    }
    servePortal();
    m_portal->bindResponse = 1;
    PortalGlobalShortcuts shortcuts(m_client);
    shortcuts.bind(defaults());
    ASSERT_TRUE(waitUntil([&] { return !shortcuts.outcome().isEmpty(); }));
    EXPECT_TRUE(shortcuts.outcome().contains(QLatin1String("did not bind"))) << shortcuts.outcome().toStdString();
}

} // namespace
} // namespace parlomatic::platform
