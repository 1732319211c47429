#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

class QLocalServer;

namespace parlomatic::app {

// One Parlomatic per user session: the first instance listens on a local socket in the runtime
// directory ($XDG_RUNTIME_DIR, else Qt's per-user runtime folder); a later one hands over to it and
// ends. A lock file makes the check and the listen one step, so two launches at once cannot both
// become the first. A later launch started with URLs (the browser's sign-in answer on our URL scheme)
// hands those over instead of asking to be shown. GUI thread only.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Role : std::uint8_t { primary, handedOver, failed };

    // `name` names the socket and lock file (tests use their own).
    explicit SingleInstance(QString name = QStringLiteral("parlomatic"), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Becomes the first instance, or hands over to the running one. `failed` when neither worked
    // (the runtime folder is unusable): the caller may run on alone.
    // `urls` are handed over, one a line, instead of the request to be shown; so are `actions`
    // ("translate", "replace", "improve": `parlomatic --translate` from a desktop's key binding).
    Role claim(const QStringList& urls = {}, const QStringList& actions = {});

    // Hands `urls` and `actions` to a running instance, if one answers, without becoming the first
    // instance otherwise. Needs no graphical application object.
    bool handOver(const QStringList& urls, const QStringList& actions) const;

    QString socketPath() const;
    // Stops answering: a later launch becomes the first instance itself (this one is quitting).
    void close();

signals:
    // A later launch handed over to this instance.
    void activated();
    // A later launch handed over this URL.
    void urlReceived(const QString& url);
    // A later launch asked for this action on the selection (a word without spaces).
    void actionRequested(const QString& action);

private:
    QString m_name;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<QLocalServer> m_server;
};

} // namespace parlomatic::app
