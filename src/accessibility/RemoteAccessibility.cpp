#include "accessibility/RemoteAccessibility.h"

#include "accessibility/AccessibilityProtocol.h"
#include "accessibility/HelperChannel.h"
#include "common/Log.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cmath>

namespace parlomatic::platform {

namespace protocol = accessibilityProtocol;

namespace {

// An element of the helper's, by the number it handed out; dropped there when the last reference
// here goes.
class RemoteElement final : public selection::AccessibleElement {
public:
    RemoteElement(std::int64_t number, const std::shared_ptr<RemoteAccessibility::Channel>& channel)
        : m_number(number), m_channel(channel)
    {}
    ~RemoteElement() override
    {
        if (const auto channel = m_channel.lock()) {
            channel->drop(m_number);
        }
    }
    RemoteElement(const RemoteElement&) = delete;
    RemoteElement& operator=(const RemoteElement&) = delete;

    // Read when first asked, on the thread that asks (the layer's).
    std::optional<selection::Pid> processId() const override
    {
        const auto channel = m_channel.lock();
        if (!m_pid && channel) {
            const std::optional<QJsonValue> pid = channel->call(
                {{QStringLiteral("call"), QStringLiteral("pid")}, {QStringLiteral("el"), qint64(m_number)}});
            m_pid = pid ? protocol::numberFrom(*pid) : std::nullopt;
        }
        return m_pid;
    }
    bool isSameElement(const selection::AccessibleElement& other) const override
    {
        const auto* remote = dynamic_cast<const RemoteElement*>(&other);
        return remote != nullptr && remote->m_number == m_number && !remote->m_channel.owner_before(m_channel) &&
               !m_channel.owner_before(remote->m_channel);
    }
    std::int64_t number() const { return m_number; }

private:
    std::int64_t m_number;
    std::weak_ptr<RemoteAccessibility::Channel> m_channel;
    mutable std::optional<selection::Pid> m_pid;
};

} // namespace

// Announcements that come while no call is in progress.
struct RemoteAccessibility::Notifier {
    QSocketNotifier notifier;
    explicit Notifier(int socket) : notifier(socket, QSocketNotifier::Read) {}
};

RemoteAccessibility::RemoteAccessibility(std::shared_ptr<Channel> channel) : m_channel(std::move(channel)) {}

RemoteAccessibility::~RemoteAccessibility()
{
    if (m_channel) {
        // The listener reads through this layer: elements may keep the channel a little longer.
        m_channel->setReadingListener({});
    }
    m_notifier.reset();
}

long long RemoteAccessibility::helperPid() const
{
    return m_channel && m_channel->alive() ? m_channel->pid() : 0;
}

std::optional<QJsonValue> RemoteAccessibility::ask(const char* call, QJsonObject arguments)
{
    if (!m_channel) {
        return std::nullopt;
    }
    arguments[QLatin1String("call")] = QLatin1String(call);
    return m_channel->call(std::move(arguments));
}

std::optional<QJsonValue> RemoteAccessibility::askAbout(const char* call, const selection::Element& element,
                                                        QJsonObject arguments)
{
    const auto* remote = dynamic_cast<const RemoteElement*>(element.get());
    if (remote == nullptr) {
        return std::nullopt;
    }
    arguments[QLatin1String("el")] = qint64(remote->number());
    return ask(call, std::move(arguments));
}

selection::Element RemoteAccessibility::elementFrom(const std::optional<QJsonValue>& answer)
{
    const double number = answer ? answer->toDouble() : 0;
    if (number < 1 || number != std::trunc(number)) {
        return nullptr;
    }
    return m_channel->element(std::int64_t(number),
                              [&] { return std::make_shared<RemoteElement>(std::int64_t(number), m_channel); });
}

std::optional<selection::Pid> RemoteAccessibility::frontmostWindowOwnerPid()
{
    const std::optional<QJsonValue> pid = ask("front");
    return pid ? protocol::numberFrom(*pid) : std::nullopt;
}

selection::Element RemoteAccessibility::applicationElement(selection::Pid pid)
{
    return elementFrom(ask("application", {{QStringLiteral("pid"), pid}}));
}

selection::Element RemoteAccessibility::focusedElement(const selection::Element& application)
{
    return elementFrom(askAbout("focused", application));
}

std::optional<QString> RemoteAccessibility::bundleIdentifier(selection::Pid pid)
{
    const std::optional<QJsonValue> identifier = ask("identifier", {{QStringLiteral("pid"), pid}});
    return identifier ? protocol::textFrom(*identifier) : std::nullopt;
}

std::optional<QString> RemoteAccessibility::selectedText(const selection::Element& element)
{
    const std::optional<QJsonValue> text = askAbout("selectedText", element);
    return text ? protocol::textFrom(*text) : std::nullopt;
}

std::optional<int> RemoteAccessibility::selectionLength(const selection::Element& element)
{
    const std::optional<QJsonValue> length = askAbout("selectionLength", element);
    return length ? protocol::numberFrom(*length) : std::nullopt;
}

bool RemoteAccessibility::replaceSelection(const selection::Element& element, const QString& text)
{
    const std::optional<QJsonValue> written = askAbout("replaceSelection", element, {{QStringLiteral("text"), text}});
    return written && written->toBool();
}

std::optional<selection::AccessibilityBackend::TextMark>
RemoteAccessibility::textMark(const selection::Element& element)
{
    const std::optional<QJsonValue> mark = askAbout("textMark", element);
    return mark ? protocol::markFrom(*mark) : std::nullopt;
}

std::optional<QString> RemoteAccessibility::textBetween(const selection::Element& element, int start, int end)
{
    const std::optional<QJsonValue> text =
        askAbout("textBetween", element, {{QStringLiteral("a"), start}, {QStringLiteral("b"), end}});
    return text ? protocol::textFrom(*text) : std::nullopt;
}

std::optional<selection::AxRect> RemoteAccessibility::selectionBoundsFromTextMarkers(const selection::Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("boundsFromMarkers", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<selection::AxRect> RemoteAccessibility::selectionBoundsFromRange(const selection::Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("boundsFromRange", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<selection::AxRect> RemoteAccessibility::elementFrame(const selection::Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("elementFrame", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<selection::AxRect> RemoteAccessibility::windowFrame(const selection::Element& element)
{
    const std::optional<QJsonValue> rect = askAbout("windowFrame", element);
    return rect ? protocol::rectFrom(*rect) : std::nullopt;
}

std::optional<QString> RemoteAccessibility::elementRole(const selection::Element& element)
{
    const std::optional<QJsonValue> role = askAbout("role", element);
    return role ? protocol::textFrom(*role) : std::nullopt;
}

selection::SelectionReading RemoteAccessibility::readFocused(selection::Pid pid)
{
    using Outcome = selection::SelectionReading::Outcome;
    const std::optional<QJsonValue> answer = ask("read", {{QStringLiteral("pid"), pid}});
    std::optional<selection::SelectionReading> reading;
    if (answer) {
        reading = protocol::readingFrom(
            *answer, [this](std::int64_t number) { return elementFrom(QJsonValue(qint64(number))); });
        // Past the front process only these can come of it.
        if (reading && reading->outcome != Outcome::noFocus && reading->outcome != Outcome::noSelection &&
            reading->outcome != Outcome::selection) {
            reading.reset();
        }
        if (!reading) {
            logError("The accessibility helper answered a read with what is not one; it is ignored.");
        }
    }
    if (!reading) {
        reading.emplace();
        reading->outcome = selection::SelectionReading::Outcome::noFocus;
    }
    return std::move(*reading);
}

void RemoteAccessibility::readAncestorAttributes(const selection::Element& element)
{
    askAbout("readAncestors", element);
}

void RemoteAccessibility::enableEnhancedUserInterface(const selection::Element& application)
{
    askAbout("enhance", application);
}

void RemoteAccessibility::enableEnhancedUserInterfaceForRunningApps()
{
    ask("enhanceAll");
}

bool RemoteAccessibility::isConnected()
{
    // A helper that steps on its own is otherwise asked nothing while the selection stays: a
    // stopped one would go unnoticed.
    if (m_watching && m_channel && std::chrono::steady_clock::now() - m_lastPing >= std::chrono::seconds(1)) {
        m_lastPing = std::chrono::steady_clock::now();
        ask("ping");
    }
    return m_channel && m_channel->alive();
}

bool RemoteAccessibility::isResponding(selection::Pid pid)
{
    const std::optional<QJsonValue> responding = ask("responding", {{QStringLiteral("pid"), pid}});
    return !responding || !responding->isBool() || responding->toBool();
}

void RemoteAccessibility::setChangeListener(std::function<void()> changed)
{
    if (m_channel) {
        m_channel->setListener(std::move(changed));
        listen();
    }
}

bool RemoteAccessibility::watchSelections(const selection::SelectionWatch& watch,
                                          std::function<void(selection::SelectionReading, std::int64_t)> changed)
{
    if (!m_channel) {
        return true; // no helper for now: the watch is asked of the next one
    }
    m_watching = watch.every.count() > 0;
    m_channel->setReadingListener([this, changed = std::move(changed)](const QJsonObject& event) {
        const QJsonValue generation = event[QLatin1String("gen")];
        std::optional<selection::SelectionReading> reading = protocol::readingFrom(
            event[QLatin1String("v")], [this](std::int64_t number) { return elementFrom(QJsonValue(qint64(number))); });
        if (!reading || !generation.isDouble()) {
            logError("The accessibility helper sent a reading that is not one; it is ignored.");
            return;
        }
        if (changed) {
            changed(std::move(*reading), static_cast<std::int64_t>(generation.toDouble()));
        }
    });
    listen();
    const std::optional<QJsonValue> taken =
        ask("watch", {{QStringLiteral("ms"), qint64(watch.every.count())},
                      {QStringLiteral("own"), watch.ownPid},
                      {QStringLiteral("off"), QJsonArray::fromStringList(watch.turnedOff)},
                      {QStringLiteral("gen"), qint64(watch.generation)}});
    return !taken || taken->toBool();
}

void RemoteAccessibility::listen()
{
    if (m_notifier || !m_channel->alive()) {
        return;
    }
    m_notifier = std::make_unique<Notifier>(m_channel->socket());
    Channel* channel = m_channel.get();
    QSocketNotifier* notifier = &m_notifier->notifier;
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [channel, notifier] {
        channel->drainEvents();
        notifier->setEnabled(channel->alive());
    });
}

} // namespace parlomatic::platform
