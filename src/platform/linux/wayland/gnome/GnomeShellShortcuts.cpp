#include "platform/linux/wayland/gnome/GnomeShellShortcuts.h"

#include "common/Log.h"
#include "platform/linux/desktop/ShortcutTriggers.h"
#include "selection/LogCategories.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <algorithm>

namespace parlomatic::platform {
namespace {

constexpr QLatin1StringView service("app.parlomatic.ShellWindows");
constexpr QLatin1StringView path("/app/parlomatic/ShellWindows");
constexpr QLatin1StringView interface("app.parlomatic.ShellWindows");

using Accelerators = QMap<QString, QString>;

} // namespace

bool GnomeShellShortcuts::available()
{
    const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return bus != nullptr && bus->isServiceRegistered(service).value();
}

GnomeShellShortcuts::GnomeShellShortcuts()
    : m_extension(service, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForRegistration)
{
    qDBusRegisterMetaType<Accelerators>();
    QDBusConnection::sessionBus().connect(service, path, interface, QStringLiteral("ShortcutActivated"), this,
                                          SLOT(pressed(QString)));
    connect(&m_extension, &QDBusServiceWatcher::serviceRegistered, this, [this] {
        qCDebug(keysLog) << "GNOME Shell's extension is back: the keys are bound anew";
        send();
    });
}

GnomeShellShortcuts::~GnomeShellShortcuts()
{
    // The extension lets the keys go when we leave the bus; before that, at once.
    if (!m_bindings.empty()) {
        bind({});
    }
}

std::vector<selection::GlobalShortcuts::Binding> GnomeShellShortcuts::bind(const std::vector<Binding>& bindings)
{
    m_bindings.clear();
    for (const Binding& binding : bindings) {
        if (!binding.keys.isEmpty()) {
            m_bindings.push_back(binding);
        }
    }
    send();
    return {};
}

void GnomeShellShortcuts::send()
{
    Accelerators accelerators;
    for (const Binding& binding : m_bindings) {
        accelerators.insert(QString::fromLatin1(selection::shortcutName(binding.action)),
                            shellAccelerator(binding.keys));
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("BindShortcuts"));
    call << QVariant::fromValue(accelerators);
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, sent = ++m_sent](QDBusPendingCallWatcher* finished) { answered(finished, sent); });
}

void GnomeShellShortcuts::answered(QDBusPendingCallWatcher* call, unsigned long sent)
{
    call->deleteLater();
    const QDBusPendingReply<QStringList> reply = *call;
    if (sent != m_sent) {
        return;
    }
    m_answered = sent;
    if (reply.isError()) {
        logError("GNOME Shell's extension of Parlomatic holds no keys (" + reply.error().name().toStdString() +
                 "): is it the version shipped with this Parlomatic, and enabled?");
        return;
    }
    std::vector<Binding> refused;
    for (const Binding& binding : m_bindings) {
        if (reply.value().contains(QString::fromLatin1(selection::shortcutName(binding.action)))) {
            refused.push_back(binding);
        }
    }
    qCDebug(keysLog) << "GNOME Shell holds" << m_bindings.size() - refused.size() << "of our keys";
    if (!refused.empty() && m_refused) {
        m_refused(refused);
    }
}

void GnomeShellShortcuts::pressed(const QString& name)
{
    const std::optional<selection::ShortcutAction> action = selection::shortcutNamed(name.toStdString());
    const bool held = action && std::ranges::any_of(m_bindings, [&](const Binding& b) { return b.action == *action; });
    if (held && m_activated) {
        m_activated(*action);
    }
}

} // namespace parlomatic::platform

// Compiled here rather than with the folder's other classes, so that a program needing this class links
// only this one.
#include "moc_GnomeShellShortcuts.cpp" // NOLINT(bugprone-suspicious-include): this class's meta-object
