#include "accessibility/AccessibilityServer.h"

#include "accessibility/AccessibilityProtocol.h"
#include "common/Log.h"
#include "selection/SelectionReader.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
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

// What a reading tells the application (AccessibilityProtocol's form of it), compared; whether the
// step passed over every application to switch them on tells nothing new.
bool sameReading(const selection::SelectionReading& a, const selection::SelectionReading& b)
{
    const selection::PollStep& x = a.step;
    const selection::PollStep& y = b.step;
    const bool sameElement = x.element && y.element ? x.element->isSameElement(*y.element) : x.element == y.element;
    return a.outcome == b.outcome && a.selectedText == b.selectedText && x.pid == y.pid &&
           x.application == y.application && x.app == y.app && x.role == y.role && x.secure == y.secure &&
           x.selectionTooLong == y.selectionTooLong && x.rect == y.rect && x.frame == y.frame &&
           x.misplaced == y.misplaced && sameElement;
}

} // namespace

struct AccessibilityServer::Watch {
    std::chrono::milliseconds every{0};
    std::int64_t generation = 0;
    QStringList turnedOff;
    std::unique_ptr<selection::SelectionReader> reader;
    // The reading sent last.
    std::optional<selection::SelectionReading> lastSent;
};

AccessibilityServer::AccessibilityServer(selection::AccessibilityBackend& backend,
                                         std::shared_ptr<selection::ApplicationIdentities> identities)
    : m_backend(backend), m_identities(std::move(identities))
{}

AccessibilityServer::~AccessibilityServer() = default;

std::chrono::milliseconds AccessibilityServer::watchEvery() const
{
    return m_watch ? m_watch->every : std::chrono::milliseconds(0);
}

QJsonValue AccessibilityServer::watch(const QJsonObject& request)
{
    // A step more often than this would only load the other applications.
    constexpr int fastest = 20;
    const std::optional<int> every = protocol::numberFrom(request[QLatin1String("ms")]);
    const std::optional<selection::Pid> own = pidFrom(request[QLatin1String("own")]);
    const QJsonValue generation = request[QLatin1String("gen")];
    const QJsonArray off = request[QLatin1String("off")].toArray();
    if (!every || *every < 0 || !own || !generation.isDouble() ||
        !std::ranges::all_of(off, [](const QJsonValue& id) { return id.isString(); })) {
        return false;
    }
    m_watchChanged = true;
    if (*every == 0) {
        m_watch.reset();
        return true;
    }
    auto watch = std::make_unique<Watch>();
    watch->every = std::chrono::milliseconds(std::max(*every, fastest));
    watch->generation = static_cast<std::int64_t>(generation.toDouble());
    for (const auto& id : off) {
        watch->turnedOff.append(id.toString());
    }
    selection::ApplicationFilter filter;
    if (m_identities) {
        filter.identities = m_identities;
        filter.isTurnedOff = [turnedOff = watch->turnedOff](const QString& id) { return turnedOff.contains(id); };
    }
    watch->reader = std::make_unique<selection::SelectionReader>(*own, std::move(filter));
    m_watch = std::move(watch);
    return true;
}

std::optional<QByteArray> AccessibilityServer::step()
{
    if (!m_watch) {
        return std::nullopt;
    }
    selection::SelectionReading reading = m_watch->reader->read(m_backend);
    // Compared field by field: most steps find what the last one found, and are sent nothing.
    if (const std::optional<selection::SelectionReading>& last = m_watch->lastSent;
        last.has_value() && sameReading(*last, reading)) {
        return std::nullopt;
    }
    const QJsonObject value = protocol::toJson(reading, numberOf(reading.step.element));
    m_watch->lastSent = std::move(reading);
    return protocol::line({{QStringLiteral("event"), QLatin1String(protocol::readingEvent)},
                           {QStringLiteral("gen"), qint64(m_watch->generation)},
                           {QStringLiteral("v"), value}});
}

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
    if (name == QLatin1String("watch")) {
        return watch(request);
    }
    if (name == QLatin1String("ping")) {
        return true;
    }
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

int serveStandardStreams(selection::AccessibilityBackend& layer, const std::function<bool()>& lost,
                         std::shared_ptr<selection::ApplicationIdentities> identities)
{
    // Announcements bring a step of the watch forward, but never closer than this to the last one.
    constexpr auto earliestStep = std::chrono::milliseconds(30);
    AccessibilityServer server(layer, std::move(identities));
    QByteArray pending;
    bool changed = false;
    const auto endIfLost = [&lost] {
        if (lost()) {
            QCoreApplication::exit(protocol::noBusExit);
        }
    };
    QTimer steps;
    QTimer earlyStep;
    earlyStep.setSingleShot(true);
    earlyStep.setTimerType(Qt::PreciseTimer);
    auto lastStep = std::chrono::steady_clock::time_point();
    const auto runStep = [&] {
        lastStep = std::chrono::steady_clock::now();
        if (const std::optional<QByteArray> event = server.step(); event && !writeAll(*event)) {
            QCoreApplication::exit(0);
        }
    };
    QObject::connect(&steps, &QTimer::timeout, runStep);
    QObject::connect(&earlyStep, &QTimer::timeout, runStep);
    const auto stepSoon = [&] {
        if (earlyStep.isActive()) {
            return;
        }
        const auto wait = earliestStep - (std::chrono::steady_clock::now() - lastStep);
        earlyStep.start(std::max(0, int(std::chrono::ceil<std::chrono::milliseconds>(wait).count())));
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
        if (server.takeWatchChange()) {
            earlyStep.stop();
            if (server.watchEvery().count() > 0) {
                steps.start(server.watchEvery());
                earlyStep.start(0);
            } else {
                steps.stop();
            }
        }
        endIfLost();
    });
    // Announcements go out between answers, one for a burst; while watching they bring a step forward.
    layer.setChangeListener([&] {
        if (steps.isActive()) {
            stepSoon();
            return;
        }
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
