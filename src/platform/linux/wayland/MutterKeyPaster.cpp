#include "platform/linux/wayland/MutterKeyPaster.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>

namespace parlomatic::platform {

namespace {

constexpr QLatin1StringView service("org.gnome.Mutter.RemoteDesktop");
constexpr QLatin1StringView sessionInterface("org.gnome.Mutter.RemoteDesktop.Session");
constexpr int callTimeoutMs = 1000;
constexpr uint keysymControl = 0xffe3;
constexpr uint keysymV = 0x76;

QDBusMessage call(const QString& path, QLatin1StringView interface, const QString& method,
                  const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return QDBusConnection::sessionBus().call(message, QDBus::Block, callTimeoutMs);
}

} // namespace

bool MutterKeyPaster::available()
{
    const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return bus != nullptr && bus->isServiceRegistered(service).value();
}

std::expected<void, std::string> MutterKeyPaster::pasteShortcut()
{
    const QDBusMessage created =
        call(QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), service, QStringLiteral("CreateSession"));
    if (created.type() != QDBusMessage::ReplyMessage || created.arguments().isEmpty()) {
        return std::unexpected("GNOME Shell did not open a remote-desktop session: " +
                               created.errorMessage().toStdString());
    }
    const QString session = created.arguments().constFirst().value<QDBusObjectPath>().path();
    std::string failure;
    if (const QDBusMessage started = call(session, sessionInterface, QStringLiteral("Start"));
        started.type() != QDBusMessage::ReplyMessage) {
        failure = "GNOME Shell did not start the remote-desktop session: " + started.errorMessage().toStdString();
    }
    const std::pair<uint, bool> keys[] = {
        {keysymControl, true}, {keysymV, true}, {keysymV, false}, {keysymControl, false}};
    for (const auto& [keysym, pressed] : keys) {
        if (!failure.empty()) {
            break;
        }
        const QDBusMessage sent = call(session, sessionInterface, QStringLiteral("NotifyKeyboardKeysym"),
                                       {QVariant::fromValue(keysym), pressed});
        if (sent.type() != QDBusMessage::ReplyMessage) {
            failure = "GNOME Shell did not take the paste keys: " + sent.errorMessage().toStdString();
        }
    }
    call(session, sessionInterface, QStringLiteral("Stop"));
    if (!failure.empty()) {
        return std::unexpected(failure);
    }
    return {};
}

} // namespace parlomatic::platform
