#include "platform/linux/wayland/gnome/MutterKeyPaster.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>

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

// Notes any request for our X11 selections: GNOME Shell asks the new owner of the clipboard what
// it offers before it hands the clipboard on to native windows.
class SelectionAsked final : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type == "xcb_generic_event_t" &&
            (static_cast<xcb_generic_event_t*>(message)->response_type & 0x7f) == XCB_SELECTION_REQUEST) {
            asked = true;
        }
        return false;
    }
    bool asked = false;
};

// Until GNOME Shell has taken our new clipboard (at most `limit`): keys sent before would paste
// what the clipboard held before, into the user's document. False when it never asked.
bool waitUntilTheShellHasTheClipboard(std::chrono::milliseconds limit)
{
    SelectionAsked filter;
    QCoreApplication::instance()->installNativeEventFilter(&filter);
    QElapsedTimer waited;
    waited.start();
    while (!filter.asked && waited.elapsed() < limit.count()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
    }
    // Its question answered too.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    QCoreApplication::instance()->removeNativeEventFilter(&filter);
    return filter.asked;
}

} // namespace

bool MutterKeyPaster::available()
{
    const QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    return bus != nullptr && bus->isServiceRegistered(service).value();
}

std::expected<void, std::string> MutterKeyPaster::pasteShortcut()
{
    // It asks within a few milliseconds, and within a second on a machine under heavy load.
    if (!waitUntilTheShellHasTheClipboard(std::chrono::milliseconds(1000))) {
        return std::unexpected("GNOME Shell did not take the clipboard in time");
    }
    return pressKeysym({keysymControl}, keysymV);
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
