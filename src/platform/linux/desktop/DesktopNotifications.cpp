#include "platform/linux/desktop/DesktopNotifications.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace parlomatic::platform {

void DesktopNotifications::tell(selection::NoticeCause, const QString& message)
{
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("Parlomatic") << 0U << QStringLiteral("parlomatic") << QStringLiteral("Parlomatic")
           << message << QStringList() << QVariantMap() << -1;
    QDBusConnection::sessionBus().call(notify, QDBus::NoBlock);
}

} // namespace parlomatic::platform
