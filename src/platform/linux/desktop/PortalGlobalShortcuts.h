#pragma once

#include "selection/GlobalShortcuts.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariantMap>

#include <functional>

namespace parlomatic::platform {

// Global shortcuts through the desktop's portal (org.freedesktop.portal.GlobalShortcuts: KDE Plasma
// 5.27, GNOME 48 and later): a session ("parlomatic", the name the desktop files our keys under), the
// three shortcuts with our keys as preferred triggers, then the portal's Activated signal. The desktop
// asks the user once and keeps the keys the user chose there: after that, keys changed in Parlomatic
// are only a preference handed on. Every bind() closes the session and opens a new one; an empty one
// just closes it. Without a portal that offers shortcuts the log says so and nothing is held.
class PortalGlobalShortcuts final : public QObject, public selection::GlobalShortcuts {
    Q_OBJECT
public:
    explicit PortalGlobalShortcuts(QDBusConnection bus = QDBusConnection::sessionBus());
    ~PortalGlobalShortcuts() override;
    PortalGlobalShortcuts(const PortalGlobalShortcuts&) = delete;
    PortalGlobalShortcuts& operator=(const PortalGlobalShortcuts&) = delete;

    std::vector<Binding> bind(const std::vector<Binding>& bindings) override;
    void setActivated(Activated activated) override { m_activated = std::move(activated); }

    // What the last bind() came to: the portal bound every shortcut (or it holds them under keys of
    // the user's choice), or a reason why not. Empty while it is under way.
    const QString& outcome() const { return m_outcome; }
    static constexpr const char* bound = "bound";

signals:
    void settled();

private slots:
    void activated(const QDBusMessage& message);

private:
    using Answer = std::function<void(uint response, const QVariantMap& results)>;
    // Calls `method` with a request handle of its own; `answer` gets the request's Response signal.
    void request(const QString& method, QVariantList arguments, QVariantMap options, Answer answer);
    void createSession();
    void bindShortcuts(const QString& session);
    void close();
    void settle(const QString& outcome);

    QDBusConnection m_bus;
    std::vector<Binding> m_bindings;
    Activated m_activated;
    QString m_session;
    QString m_outcome;
    // Answers to requests made before the last bind() are dropped.
    unsigned long m_generation = 0;
    unsigned long m_requests = 0;
};

} // namespace parlomatic::platform
