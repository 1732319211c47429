#include "platform/linux/desktop/PortalGlobalShortcuts.h"

#include "common/Log.h"
#include "platform/linux/desktop/ShortcutTriggers.h"
#include "selection/LogCategories.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <algorithm>

namespace parlomatic::platform {

// One shortcut as the portal takes it: an id and its properties (description, preferred_trigger).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument; // NOLINT(bugprone-return-const-ref-from-parameter): QtDBus's streaming signature
}

} // namespace parlomatic::platform

Q_DECLARE_METATYPE(parlomatic::platform::PortalShortcut)

namespace parlomatic::platform {
namespace {

constexpr QLatin1StringView portal("org.freedesktop.portal.Desktop");
constexpr QLatin1StringView portalPath("/org/freedesktop/portal/desktop");
constexpr QLatin1StringView shortcutsInterface("org.freedesktop.portal.GlobalShortcuts");
constexpr QLatin1StringView requestInterface("org.freedesktop.portal.Request");
constexpr QLatin1StringView sessionToken("parlomatic");

QString description(selection::ShortcutAction action)
{
    return selection::shortcutTitle(action) + QStringLiteral(" the selection");
}

// Waits for one request's Response signal and hands it on, then goes.
class PortalRequest final : public QObject {
    Q_OBJECT
public:
    PortalRequest(std::function<void(uint, const QVariantMap&)> answer, QObject* parent)
        : QObject(parent), m_answer(std::move(answer))
    {}

public slots:
    void response(uint code, const QVariantMap& results)
    {
        m_answer(code, results);
        deleteLater();
    }

private:
    std::function<void(uint, const QVariantMap&)> m_answer;
};

} // namespace

PortalGlobalShortcuts::PortalGlobalShortcuts(QDBusConnection bus) : m_bus(std::move(bus))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    m_bus.connect(portal, portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                  SLOT(activated(QDBusMessage)));
}

PortalGlobalShortcuts::~PortalGlobalShortcuts()
{
    close();
}

std::vector<selection::GlobalShortcuts::Binding> PortalGlobalShortcuts::bind(const std::vector<Binding>& bindings)
{
    ++m_generation;
    close();
    m_bindings.clear();
    std::ranges::copy_if(bindings, std::back_inserter(m_bindings), [](const Binding& b) { return !b.keys.isEmpty(); });
    m_outcome.clear();
    if (m_bindings.empty()) {
        settle(QStringLiteral("nothing to bind"));
    } else {
        createSession();
    }
    return {};
}

void PortalGlobalShortcuts::request(const QString& method, QVariantList arguments, QVariantMap options, Answer answer)
{
    // The request's path is known before the call, so that its answer cannot come first.
    const QString token = QStringLiteral("parlomatic%1").arg(++m_requests);
    const QString sender = m_bus.baseService().mid(1).replace(u'.', u'_');
    const QString requestPath = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    auto* pending = new PortalRequest(
        [this, answer = std::move(answer), generation = m_generation](uint code, const QVariantMap& results) {
            if (generation == m_generation) {
                answer(code, results);
            }
        },
        this);
    m_bus.connect(portal, requestPath, requestInterface, QStringLiteral("Response"), pending,
                  SLOT(response(uint, QVariantMap)));
    options.insert(QStringLiteral("handle_token"), token);
    arguments << options;
    QDBusMessage call = QDBusMessage::createMethodCall(portal, portalPath, shortcutsInterface, method);
    call.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), pending);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, pending, method, generation = m_generation](QDBusPendingCallWatcher* finished) {
                const QDBusPendingReply<QDBusObjectPath> reply = *finished;
                if (reply.isError()) {
                    pending->deleteLater();
                    if (generation == m_generation) {
                        settle(QStringLiteral("the desktop's portal offers no global shortcuts (%1: %2)")
                                   .arg(method, reply.error().name()));
                    }
                }
            });
}

void PortalGlobalShortcuts::createSession()
{
    request(QStringLiteral("CreateSession"), {}, {{QStringLiteral("session_handle_token"), sessionToken}},
            [this](uint code, const QVariantMap& results) {
                const QString session = results.value(QStringLiteral("session_handle")).toString();
                if (code != 0 || session.isEmpty()) {
                    settle(QStringLiteral("the portal opened no session (response %1)").arg(code));
                    return;
                }
                m_session = session;
                bindShortcuts(session);
            });
}

void PortalGlobalShortcuts::bindShortcuts(const QString& session)
{
    QList<PortalShortcut> shortcuts;
    for (const Binding& binding : m_bindings) {
        shortcuts.append(
            PortalShortcut{.id = QString::fromLatin1(selection::shortcutName(binding.action)),
                           .properties = {{QStringLiteral("description"), description(binding.action)},
                                          {QStringLiteral("preferred_trigger"), xdgShortcutTrigger(binding.keys)}}});
    }
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(session)), QVariant::fromValue(shortcuts), QString()}, {},
            [this](uint code, const QVariantMap& results) {
                if (code != 0) {
                    // 1: the user turned the desktop's dialog down.
                    settle(QStringLiteral("the desktop did not bind the shortcuts (response %1)").arg(code));
                    return;
                }
                const auto answered = qdbus_cast<QList<PortalShortcut>>(results.value(QStringLiteral("shortcuts")));
                QStringList keys;
                for (const PortalShortcut& shortcut : answered) {
                    keys << shortcut.id + u'=' +
                                shortcut.properties.value(QStringLiteral("trigger_description")).toString();
                }
                // KDE Plasma 5.27 answers none and opens its shortcut settings, where the user gives the keys.
                qCDebug(keysLog) << "The portal holds" << keys << "of" << m_bindings.size() << "shortcuts";
                settle(QString::fromLatin1(bound));
            });
}

void PortalGlobalShortcuts::close()
{
    if (m_session.isEmpty()) {
        return;
    }
    m_bus.asyncCall(QDBusMessage::createMethodCall(portal, m_session, QStringLiteral("org.freedesktop.portal.Session"),
                                                   QStringLiteral("Close")));
    m_session.clear();
}

void PortalGlobalShortcuts::settle(const QString& outcome)
{
    if (outcome != QLatin1StringView(bound) && !m_bindings.empty()) {
        logError("Parlomatic's keyboard shortcuts are not held: " + outcome.toStdString() + ".");
    }
    m_outcome = outcome;
    emit settled();
}

// (session_handle o, shortcut_id s, timestamp t, options a{sv})
void PortalGlobalShortcuts::activated(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2) {
        return;
    }
    const QString session = arguments.at(0).value<QDBusObjectPath>().path();
    const std::optional<selection::ShortcutAction> action =
        selection::shortcutNamed(arguments.at(1).toString().toStdString());
    if (!session.isEmpty() && session == m_session && action && m_activated &&
        std::ranges::any_of(m_bindings, [&](const Binding& b) { return b.action == *action; })) {
        m_activated(*action);
    }
}

} // namespace parlomatic::platform

#include "PortalGlobalShortcuts.moc"

// Compiled here rather than with the folder's other classes, so that a program needing this class links
// only this one.
#include "moc_PortalGlobalShortcuts.cpp" // NOLINT(bugprone-suspicious-include): this class's meta-object
