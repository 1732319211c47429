#include "app/SingleInstance.h"

#include "common/Log.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

namespace parlomatic::app {
namespace {

constexpr int handOverTimeoutMs = 2000;
constexpr QByteArrayView activateLine("activate");
constexpr QByteArrayView openPrefix("open ");
constexpr QByteArrayView actPrefix("act ");
// A URL longer than this is no sign-in answer of ours: the line is dropped unread.
constexpr qsizetype maxLineBytes = qsizetype{64} * 1024;

QString runtimeDirectory()
{
    QString fromEnvironment = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!fromEnvironment.isEmpty() && QDir::isAbsolutePath(fromEnvironment)) {
        return fromEnvironment;
    }
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

bool handOverTo(const QString& path, const QStringList& urls, const QStringList& actions)
{
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(handOverTimeoutMs)) {
        return false;
    }
    QByteArray message;
    for (const QString& url : urls) {
        // A line break inside a URL would start a line of its own.
        message += openPrefix.toByteArray() + url.toUtf8().replace('\n', "%0A").replace('\r', "%0D") + '\n';
    }
    for (const QString& action : actions) {
        message += actPrefix.toByteArray() + action.toUtf8().replace('\n', ' ').replace('\r', ' ') + '\n';
    }
    socket.write(message.isEmpty() ? activateLine.toByteArray() + '\n' : message);
    return socket.waitForBytesWritten(handOverTimeoutMs);
}

} // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), m_name(std::move(name)) {}

SingleInstance::~SingleInstance() = default;

void SingleInstance::close()
{
    m_server.reset();
    m_lock.reset();
}

bool SingleInstance::handOver(const QStringList& urls, const QStringList& actions) const
{
    return handOverTo(socketPath(), urls, actions);
}

QString SingleInstance::socketPath() const
{
    return runtimeDirectory() + QLatin1Char('/') + m_name + QStringLiteral(".socket");
}

SingleInstance::Role SingleInstance::claim(const QStringList& urls, const QStringList& actions)
{
    const QString path = socketPath();
    m_lock = std::make_unique<QLockFile>(runtimeDirectory() + QLatin1Char('/') + m_name + QStringLiteral(".lock"));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock(0)) {
        // Another instance holds the lock for as long as it runs; one that is just ending lets go soon.
        if (handOverTo(path, urls, actions)) {
            return Role::handedOver;
        }
        if (!m_lock->tryLock(handOverTimeoutMs)) {
            return Role::failed;
        }
    }
    // The lock is ours, so a socket left at the path belongs to an instance that died.
    QLocalServer::removeServer(path);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(path)) {
        logError("Could not listen for later launches: " + m_server->errorString().toStdString());
        m_server.reset();
        return Role::failed;
    }
    connect(m_server.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine(maxLineBytes).trimmed();
                    if (line == activateLine) {
                        emit activated();
                    } else if (line.startsWith(openPrefix)) {
                        emit urlReceived(QString::fromUtf8(line.mid(openPrefix.size())));
                    } else if (line.startsWith(actPrefix)) {
                        emit actionRequested(QString::fromUtf8(line.mid(actPrefix.size())));
                    }
                }
                if (socket->bytesAvailable() > maxLineBytes) {
                    socket->abort();
                }
            });
        }
    });
    return Role::primary;
}

} // namespace parlomatic::app
