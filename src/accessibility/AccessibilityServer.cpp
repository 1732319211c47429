#include "accessibility/AccessibilityServer.h"

#include "accessibility/AccessibilityProtocol.h"
#include "common/Log.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace parlomatic::platform {

namespace protocol = accessibilityProtocol;

namespace {

std::optional<selection::Pid> pidFrom(const QJsonValue& value)
{
    std::optional<selection::Pid> pid = protocol::numberFrom(value);
    if (pid && *pid <= 0) {
        pid.reset();
    }
    return pid;
}

QJsonValue toJson(std::optional<selection::Pid> pid)
{
    return pid ? QJsonValue(*pid) : QJsonValue();
}

} // namespace

QByteArray AccessibilityServer::answer(QByteArrayView request)
{
    const std::optional<QJsonObject> parsed = protocol::parse(request);
    if (!parsed || !(*parsed)[QLatin1String("call")].isString()) {
        logError("The accessibility helper was sent a request it cannot read; it is ignored.");
        return protocol::line({{QStringLiteral("error"), QStringLiteral("unreadable request")}});
    }
    for (const auto& dropped : (*parsed)[QLatin1String("drop")].toArray()) {
        m_elements.erase(static_cast<std::int64_t>(dropped.toDouble()));
    }
    bool known = true;
    const QString name = (*parsed)[QLatin1String("call")].toString();
    const QJsonValue value = call(name, *parsed, known);
    if (!known) {
        logError("The accessibility helper was asked for a call it does not know; it is ignored.");
        return protocol::line({{QStringLiteral("error"), QStringLiteral("unknown call")}});
    }
    return protocol::line({{QStringLiteral("v"), value}});
}

QJsonValue AccessibilityServer::call(const QString& name, const QJsonObject& request, bool& known)
{
    selection::AccessibilityBackend& layer = m_backend;
    const auto element = [&] { return elementOf(request[QLatin1String("el")]); };
    const auto pid = [&] { return pidFrom(request[QLatin1String("pid")]); };
    const auto withElement = [&](auto read) -> QJsonValue {
        const selection::Element held = element();
        return held ? read(held) : QJsonValue();
    };
    const auto withPid = [&](auto read) -> QJsonValue {
        const std::optional<selection::Pid> of = pid();
        return of ? read(*of) : QJsonValue();
    };
    if (name == QLatin1String("front")) {
        return toJson(layer.frontmostWindowOwnerPid());
    }
    if (name == QLatin1String("read")) {
        return withPid([&](selection::Pid of) {
            const selection::SelectionReading reading = layer.readFocused(of);
            return QJsonValue(protocol::toJson(reading, numberOf(reading.step.element)));
        });
    }
    if (name == QLatin1String("application")) {
        return withPid([&](selection::Pid of) { return QJsonValue(qint64(numberOf(layer.applicationElement(of)))); });
    }
    if (name == QLatin1String("focused")) {
        return withElement(
            [&](const selection::Element& e) { return QJsonValue(qint64(numberOf(layer.focusedElement(e)))); });
    }
    if (name == QLatin1String("identifier")) {
        return withPid([&](selection::Pid of) { return protocol::toJson(layer.bundleIdentifier(of)); });
    }
    if (name == QLatin1String("pid")) {
        return withElement([&](const selection::Element& e) { return toJson(e->processId()); });
    }
    if (name == QLatin1String("selectedText")) {
        return withElement([&](const selection::Element& e) { return protocol::toJson(layer.selectedText(e)); });
    }
    if (name == QLatin1String("selectionLength")) {
        return withElement([&](const selection::Element& e) { return protocol::toJson(layer.selectionLength(e)); });
    }
    if (name == QLatin1String("replaceSelection")) {
        const QJsonValue text = request[QLatin1String("text")];
        return withElement([&](const selection::Element& e) {
            return QJsonValue(text.isString() && layer.replaceSelection(e, text.toString()));
        });
    }
    if (name == QLatin1String("textMark")) {
        return withElement([&](const selection::Element& e) { return protocol::toJson(layer.textMark(e)); });
    }
    if (name == QLatin1String("textBetween")) {
        const std::optional<int> start = protocol::numberFrom(request[QLatin1String("a")]);
        const std::optional<int> end = protocol::numberFrom(request[QLatin1String("b")]);
        return withElement([&](const selection::Element& e) {
            return start && end ? protocol::toJson(layer.textBetween(e, *start, *end)) : QJsonValue();
        });
    }
    if (name == QLatin1String("boundsFromMarkers")) {
        return withElement(
            [&](const selection::Element& e) { return protocol::toJson(layer.selectionBoundsFromTextMarkers(e)); });
    }
    if (name == QLatin1String("boundsFromRange")) {
        return withElement(
            [&](const selection::Element& e) { return protocol::toJson(layer.selectionBoundsFromRange(e)); });
    }
    if (name == QLatin1String("elementFrame")) {
        return withElement([&](const selection::Element& e) { return protocol::toJson(layer.elementFrame(e)); });
    }
    if (name == QLatin1String("windowFrame")) {
        return withElement([&](const selection::Element& e) { return protocol::toJson(layer.windowFrame(e)); });
    }
    if (name == QLatin1String("role")) {
        return withElement([&](const selection::Element& e) { return protocol::toJson(layer.elementRole(e)); });
    }
    if (name == QLatin1String("readAncestors")) {
        return withElement([&](const selection::Element& e) {
            layer.readAncestorAttributes(e);
            return QJsonValue();
        });
    }
    if (name == QLatin1String("enhance")) {
        return withElement([&](const selection::Element& e) {
            layer.enableEnhancedUserInterface(e);
            return QJsonValue();
        });
    }
    if (name == QLatin1String("enhanceAll")) {
        layer.enableEnhancedUserInterfaceForRunningApps();
        return {};
    }
    if (name == QLatin1String("responding")) {
        return withPid([&](selection::Pid of) { return QJsonValue(layer.isResponding(of)); });
    }
    known = false;
    return {};
}

std::int64_t AccessibilityServer::numberOf(const selection::Element& element)
{
    if (!element) {
        return 0;
    }
    for (const auto& [number, held] : m_elements) {
        if (held == element || held->isSameElement(*element)) {
            return number;
        }
    }
    if (m_elements.size() >= maxElements) {
        m_elements.erase(m_elements.begin());
    }
    m_elements.emplace(m_next, element);
    return m_next++;
}

selection::Element AccessibilityServer::elementOf(const QJsonValue& number) const
{
    const auto found = m_elements.find(static_cast<std::int64_t>(number.toDouble()));
    return found != m_elements.end() ? found->second : nullptr;
}

namespace {

// The whole line, or false when the application no longer reads. Standard output shares the
// socket's non-blocking flag with standard input: a full socket is waited for, not taken for an end.
bool writeAll(const QByteArray& bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t wrote = ::write(STDOUT_FILENO, bytes.constData() + written, size_t(bytes.size() - written));
        if (wrote > 0) {
            written += wrote;
            continue;
        }
        if (wrote < 0 && errno == EAGAIN) {
            pollfd ready{.fd = STDOUT_FILENO, .events = POLLOUT, .revents = 0};
            if (::poll(&ready, 1, -1) < 0 && errno != EINTR) {
                return false;
            }
        } else if (wrote == 0 || errno != EINTR) {
            return false;
        }
    }
    return true;
}

} // namespace

int serveStandardStreams(selection::AccessibilityBackend& layer, const std::function<bool()>& lost)
{
    AccessibilityServer server(layer);
    QByteArray pending;
    bool changed = false;
    const auto endIfLost = [&lost] {
        if (lost()) {
            QCoreApplication::exit(protocol::noBusExit);
        }
    };
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[65536];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            input.setEnabled(false);
            QCoreApplication::exit(0);
            return;
        }
        pending.append(chunk, std::max<ssize_t>(got, 0));
        for (qsizetype newline = pending.indexOf('\n'); newline >= 0; newline = pending.indexOf('\n')) {
            const QByteArray answer = server.answer(QByteArrayView(pending).first(newline));
            pending.remove(0, newline + 1);
            if (!writeAll(answer)) {
                input.setEnabled(false);
                QCoreApplication::exit(0);
                return;
            }
        }
        if (pending.size() > protocol::maxLineBytes) {
            logError("The accessibility helper was sent a request past every bound; it ends.");
            input.setEnabled(false);
            QCoreApplication::exit(2);
            return;
        }
        endIfLost();
    });
    // Announcements go out between answers, one for a burst.
    layer.setChangeListener([&changed] {
        if (!std::exchange(changed, true)) {
            QTimer::singleShot(0, [&changed] {
                changed = false;
                writeAll(protocol::line({{QStringLiteral("event"), QLatin1String(protocol::changedEvent)}}));
            });
        }
    });
    QTimer busCheck;
    QObject::connect(&busCheck, &QTimer::timeout, endIfLost);
    busCheck.start(1000);
    const int status = QCoreApplication::exec();
    layer.setChangeListener({});
    return status;
}

} // namespace parlomatic::platform
