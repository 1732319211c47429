#include "platform/linux/wayland/GnomeShellWindows.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace parlomatic::platform {

namespace {

const QString service = QStringLiteral("app.parlomatic.ShellWindows");
const QString path = QStringLiteral("/app/parlomatic/ShellWindows");
const QString interface = QStringLiteral("app.parlomatic.ShellWindows");
constexpr int callTimeoutMs = 250;

} // namespace

std::unique_ptr<GnomeShellWindows> GnomeShellWindows::connect()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service).value()) {
        return nullptr;
    }
    std::unique_ptr<GnomeShellWindows> windows(new GnomeShellWindows());
    if (!bus.connect(service, path, interface, QStringLiteral("Changed"), windows.get(), SLOT(changed()))) {
        return nullptr;
    }
    return windows;
}

void GnomeShellWindows::changed()
{
    ++m_changes;
}

void GnomeShellWindows::refresh()
{
    if (m_read == m_changes) {
        return;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("FocusedWindow"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, callTimeoutMs);
    const QVariantList values = reply.arguments();
    m_pid = 0;
    m_window.reset();
    if (reply.type() != QDBusMessage::ReplyMessage || values.size() != 9) {
        return; // asked again at the next step
    }
    m_read = m_changes;
    m_pid = values[0].toInt() > 0 ? Pid(values[0].toInt()) : 0;
    const auto rect = [&values](int first) -> std::optional<AxRect> {
        const AxRect read{double(values[first].toInt()), double(values[first + 1].toInt()),
                          double(values[first + 2].toInt()), double(values[first + 3].toInt())};
        return read.width > 0 && read.height > 0 ? std::optional(read) : std::nullopt;
    };
    if (const std::optional<AxRect> frame = rect(1); m_pid != 0 && frame) {
        m_window = WindowGeometry{*frame, rect(5)};
    }
}

std::optional<WindowGeometry> GnomeShellWindows::focusedWindow(Pid pid)
{
    refresh();
    return pid != 0 && pid == m_pid ? m_window : std::nullopt;
}

std::optional<Pid> GnomeShellWindows::focusedProcess()
{
    refresh();
    return m_pid != 0 ? std::optional(m_pid) : std::nullopt;
}

unsigned long GnomeShellWindows::layoutChanges()
{
    return m_changes;
}

} // namespace parlomatic::platform
