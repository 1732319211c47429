#include "platform/linux/wayland/gnome/GnomeShellWindows.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace parlomatic::platform {

namespace {

constexpr QLatin1StringView service("app.parlomatic.ShellWindows");
constexpr QLatin1StringView path("/app/parlomatic/ShellWindows");
constexpr QLatin1StringView interface("app.parlomatic.ShellWindows");
constexpr int callTimeoutMs = 250;
constexpr QLatin1StringView displayConfig("org.gnome.Mutter.DisplayConfig");
constexpr QLatin1StringView displayConfigPath("/org/gnome/Mutter/DisplayConfig");
// DisplayConfig's "layout-mode": outputs laid out at their logical size, or in pixels (the default,
// where a window on a scaled output measures itself in units that many pixels wide).
constexpr uint logicalLayout = 1;
// Mutter scales an output by at most 4; a larger scale in an answer is not an output's.
constexpr double maxOutputScale = 4;

// Whether the shell lays its outputs out in pixels; asked once per change of the outputs.
bool layoutInPixels()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(displayConfig, displayConfigPath, displayConfig,
                                                             QStringLiteral("GetCurrentState"));
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 4) {
        return true;
    }
    const auto properties = qdbus_cast<QVariantMap>(reply.arguments().at(3));
    return properties.value(QStringLiteral("layout-mode")).toUInt() != logicalLayout;
}

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
    bus.connect(displayConfig, displayConfigPath, displayConfig, QStringLiteral("MonitorsChanged"), windows.get(),
                SLOT(outputsChanged()));
    return windows;
}

void GnomeShellWindows::changed()
{
    ++m_changes;
}

void GnomeShellWindows::outputsChanged()
{
    m_layoutInPixels.reset();
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
    // An extension of an earlier Parlomatic, still loaded until the next log-in, tells no scale.
    if (reply.type() != QDBusMessage::ReplyMessage || values.size() < 9) {
        return; // asked again at the next step
    }
    if (!m_layoutInPixels) {
        m_layoutInPixels = layoutInPixels();
    }
    m_read = m_changes;
    const FocusedWindow focused = fromReply(values, *m_layoutInPixels);
    m_pid = focused.pid;
    m_window = focused.window;
}

FocusedWindow GnomeShellWindows::fromReply(const QVariantList& values, bool layoutInPixels)
{
    if (values.size() < 9) {
        return {};
    }
    const auto rect = [&values](int first) {
        return sizedRect(values[first].toDouble(), values[first + 1].toDouble(), values[first + 2].toDouble(),
                         values[first + 3].toDouble());
    };
    FocusedWindow focused{.pid = values[0].toInt() > 0 ? selection::Pid(values[0].toInt()) : 0, .window = std::nullopt};
    if (const std::optional<selection::AxRect> frame = rect(1); focused.pid != 0 && frame) {
        const double scale = values.size() > 9 ? values[9].toDouble() : 1.0;
        focused.window =
            WindowGeometry{.frame = *frame,
                           .surface = rect(5),
                           .contentScale = layoutInPixels && scale >= 1 && scale <= maxOutputScale ? scale : 1.0};
    }
    return focused;
}

std::optional<WindowGeometry> GnomeShellWindows::focusedWindow(selection::Pid pid)
{
    refresh();
    return pid != 0 && pid == m_pid ? m_window : std::nullopt;
}

std::optional<selection::Pid> GnomeShellWindows::focusedProcess()
{
    refresh();
    return m_pid != 0 ? std::optional(m_pid) : std::nullopt;
}

unsigned long GnomeShellWindows::layoutChanges()
{
    return m_changes;
}

} // namespace parlomatic::platform

// Compiled here rather than with the folder's other classes, so that a program needing this class links
// only this one.
#include "moc_GnomeShellWindows.cpp" // NOLINT(bugprone-suspicious-include): this class's meta-object
