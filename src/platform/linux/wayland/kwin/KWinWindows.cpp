#include "platform/linux/wayland/kwin/KWinWindows.h"

#include "common/Log.h"
#include "platform/linux/x11/X11Display.h"
#include "selection/LogCategories.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <X11/Xlib.h>

#include <atomic>
#include <cmath>

namespace parlomatic::platform {

namespace {

constexpr QLatin1StringView kwinService("org.kde.KWin");
constexpr QLatin1StringView scriptingPath("/Scripting");
constexpr QLatin1StringView scriptingInterface("org.kde.kwin.Scripting");
constexpr QLatin1StringView objectPathPrefix("/app/parlomatic/KWinWindows");
constexpr int callTimeoutMs = 1000;

QDBusMessage callScripting(const QString& method, const QVariantList& arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kwinService, scriptingPath, scriptingInterface, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, callTimeoutMs);
}

} // namespace

QString KWinWindows::script(const QString& service, const QString& path)
{
    // The installed copy where there is one, else the one built in (the same file, from packaging/kwin).
    QString file = QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                          QStringLiteral("parlomatic/kwin/parlomatic-windows.js"));
    QFile script(file.isEmpty() ? QStringLiteral(":/kwin/parlomatic-windows.js") : file);
    if (!script.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(script.readAll())
        .replace(QStringLiteral("@SERVICE@"), service)
        .replace(QStringLiteral("@PATH@"), path);
}

std::unique_ptr<KWinWindows> KWinWindows::connect()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kwinService).value()) {
        return nullptr;
    }
    // One path (and script) per instance: a test may ask KWin beside the watcher's own.
    static std::atomic<int> instances = 0;
    const QString id = QStringLiteral("%1_%2").arg(QCoreApplication::applicationPid()).arg(++instances);
    std::unique_ptr<KWinWindows> windows(new KWinWindows());
    windows->m_objectPath = objectPathPrefix + QLatin1Char('/') + id;
    if (!bus.registerObject(windows->m_objectPath, windows.get(), QDBusConnection::ExportScriptableSlots)) {
        return nullptr;
    }
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    windows->m_scriptFile = QDir(folder).filePath(QStringLiteral("parlomatic-kwin-%1.js").arg(id));
    windows->m_pluginName = QStringLiteral("parlomatic-%1").arg(id);
    QFile file(windows->m_scriptFile);
    const QString text = script(bus.baseService(), windows->m_objectPath);
    if (text.isEmpty() || !file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0) {
        return nullptr;
    }
    file.close();
    callScripting(QStringLiteral("unloadScript"), {windows->m_pluginName});
    const QDBusMessage loaded =
        callScripting(QStringLiteral("loadScript"), {windows->m_scriptFile, windows->m_pluginName});
    if (loaded.type() != QDBusMessage::ReplyMessage || loaded.arguments().value(0).toInt() < 0) {
        logError("KWin did not load the script that tells where windows are; no strip over native windows.");
        return nullptr;
    }
    callScripting(QStringLiteral("start"), {});
    return windows;
}

KWinWindows::~KWinWindows()
{
    if (!m_pluginName.isEmpty()) {
        callScripting(QStringLiteral("unloadScript"), {m_pluginName});
    }
    if (!m_objectPath.isEmpty()) {
        QDBusConnection::sessionBus().unregisterObject(m_objectPath);
    }
    if (!m_scriptFile.isEmpty()) {
        QFile::remove(m_scriptFile);
    }
}

double KWinWindows::rootScaleFor(unsigned rootWidth, int layoutWidth)
{
    if (layoutWidth <= 0) {
        return 1;
    }
    const double scale = std::round(double(rootWidth) / layoutWidth * 100) / 100;
    return scale > 1 ? scale : 1;
}

double KWinWindows::rootScale(int layoutWidth)
{
    // KWin scales XWayland's root by its largest output scale where X11 applications scale
    // themselves; the setting is KWin's, so the factor is read off the root itself.
    const X11Display display(layoutWidth > 0 ? XOpenDisplay(nullptr) : nullptr);
    if (!display) {
        return 1;
    }
    Window root = None;
    int x = 0;
    int y = 0;
    unsigned int width = 0;
    unsigned int height = 0;
    unsigned int border = 0;
    unsigned int depth = 0;
    XGetGeometry(display.get(), DefaultRootWindow(display.get()), &root, &x, &y, &width, &height, &border, &depth);
    return rootScaleFor(width, layoutWidth);
}

void KWinWindows::layoutWidth(int width)
{
    // The root changes with the layout: asked again only then, not at every window report.
    if (width != m_layoutWidth) {
        m_layoutWidth = width;
        m_rootScale = rootScale(width);
    }
}

FocusedWindow KWinWindows::fromReport(const std::array<int, 9>& values, double rootScale)
{
    const auto rect = [&values](std::size_t first) {
        return sizedRect(values[first], values[first + 1], values[first + 2], values[first + 3]);
    };
    FocusedWindow active{.pid = values[0] > 0 ? selection::Pid(values[0]) : 0, .window = std::nullopt};
    if (const std::optional<selection::AxRect> frame = rect(1)) {
        active.window = WindowGeometry{.frame = *frame, .surface = rect(5), .rootScale = rootScale};
    }
    return active;
}

void KWinWindows::activeWindow(int pid, int x, int y, int width, int height, int surfaceX, int surfaceY,
                               int surfaceWidth, int surfaceHeight)
{
    if (!m_answered) {
        qCDebug(waylandLog) << "KWin's window script answered for the first time";
        m_answered = true;
    }
    const FocusedWindow active =
        fromReport({pid, x, y, width, height, surfaceX, surfaceY, surfaceWidth, surfaceHeight}, m_rootScale);
    m_pid = active.pid;
    m_window = active.window;
    ++m_changes;
}

std::optional<WindowGeometry> KWinWindows::focusedWindow(selection::Pid pid)
{
    return pid != 0 && pid == m_pid ? m_window : std::nullopt;
}

std::optional<selection::Pid> KWinWindows::focusedProcess()
{
    return m_pid != 0 ? std::optional(m_pid) : std::nullopt;
}

unsigned long KWinWindows::layoutChanges()
{
    return m_changes;
}

bool KWinWindows::hasAnswered()
{
    return m_answered;
}

} // namespace parlomatic::platform

// Compiled here rather than with the folder's other classes, so that a program needing this class links
// only this one.
#include "moc_KWinWindows.cpp" // NOLINT(bugprone-suspicious-include): this class's meta-object
