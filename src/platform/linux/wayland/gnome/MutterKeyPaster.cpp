#include "platform/linux/wayland/gnome/MutterKeyPaster.h"

#include "common/Async.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QTimer>

#include <ranges>
#include <vector>

#include <xcb/xcb.h>

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

// Waits, with the event loop running, until GNOME Shell has taken our new clipboard (at most
// `limit`): keys sent before would paste what the clipboard held before, into the user's document.
// GNOME Shell asks the new owner of the clipboard what it offers before it hands the clipboard on to
// native windows, so any request for our X11 selections will do. `done(asked)` runs once, after
// that question has been answered; never when the parent goes first.
class ClipboardTaken final : public QObject, public QAbstractNativeEventFilter {
public:
    ClipboardTaken(QObject* parent, std::chrono::milliseconds limit, std::function<void(bool asked)> done)
        : QObject(parent), m_done(std::move(done))
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
        QTimer::singleShot(limit, this, [this] { finish(false); });
    }
    ~ClipboardTaken() override { QCoreApplication::instance()->removeNativeEventFilter(this); }
    ClipboardTaken(const ClipboardTaken&) = delete;
    ClipboardTaken& operator=(const ClipboardTaken&) = delete;

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (!m_asked && type == "xcb_generic_event_t" &&
            (static_cast<xcb_generic_event_t*>(message)->response_type & 0x7f) == XCB_SELECTION_REQUEST) {
            m_asked = true;
            // On a later turn: the question is answered first, as this event is handled.
            QTimer::singleShot(0, this, [this] { finish(true); });
        }
        return false;
    }

private:
    void finish(bool asked)
    {
        if (!m_done) {
            return;
        }
        QCoreApplication::instance()->removeNativeEventFilter(this);
        deleteLater();
        std::exchange(m_done, nullptr)(asked);
    }

    std::function<void(bool)> m_done;
    bool m_asked = false;
};

} // namespace

bool MutterKeyPaster::available()
{
    const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return bus != nullptr && bus->isServiceRegistered(service).value();
}

void MutterKeyPaster::pasteShortcut(Sent sent)
{
    // It asks within a few milliseconds, and within a second on a machine under heavy load.
    new ClipboardTaken(&m_context, std::chrono::milliseconds(1000), [this, sent = std::move(sent)](bool asked) {
        if (!asked) {
            sent(std::unexpected("GNOME Shell did not take the clipboard in time"));
            return;
        }
        // Each call may wait for the shell: off the GUI thread, which serves the clipboard meanwhile.
        runInBackground(
            &m_context, [] { return pressKeysym({keysymControl}, keysymV); }, sent);
    });
}

std::expected<void, std::string> MutterKeyPaster::pressKeysym(const std::vector<uint>& held, uint keysym)
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
    std::vector<std::pair<uint, bool>> keys;
    keys.reserve(2 * held.size() + 2);
    for (const uint sym : held) {
        keys.emplace_back(sym, true);
    }
    keys.emplace_back(keysym, true);
    keys.emplace_back(keysym, false);
    for (const uint sym : std::ranges::reverse_view(held)) {
        keys.emplace_back(sym, false);
    }
    for (const auto& [sym, pressed] : keys) {
        if (!failure.empty()) {
            break;
        }
        const QDBusMessage sent = call(session, sessionInterface, QStringLiteral("NotifyKeyboardKeysym"),
                                       {QVariant::fromValue(sym), pressed});
        if (sent.type() != QDBusMessage::ReplyMessage) {
            failure = "GNOME Shell did not take the keys: " + sent.errorMessage().toStdString();
        }
    }
    call(session, sessionInterface, QStringLiteral("Stop"));
    if (!failure.empty()) {
        return std::unexpected(failure);
    }
    return {};
}

} // namespace parlomatic::platform
