#pragma once

#include "selection/AccessibilityBackend.h"
#include "selection/ApplicationIdentity.h"

#include <QByteArray>
#include <QJsonObject>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

namespace parlomatic::platform {

// The helper's end of the accessibility protocol (AccessibilityProtocol.h): answers each request
// line with the layer behind it, and keeps the elements it has handed out by number until the
// application drops them. A request that is not one of ours is answered with an error and logged,
// never acted on.
class AccessibilityServer {
public:
    // More elements than this held at once means the other end forgets to drop them: the oldest go.
    static constexpr std::size_t maxElements = 4096;

    // `identities` tell the applications the user turned the watcher off in while the helper steps
    // on its own; without them none is told apart.
    explicit AccessibilityServer(selection::AccessibilityBackend& backend,
                                 std::shared_ptr<selection::ApplicationIdentities> identities = nullptr);
    ~AccessibilityServer();
    AccessibilityServer(const AccessibilityServer&) = delete;
    AccessibilityServer& operator=(const AccessibilityServer&) = delete;

    QByteArray answer(QByteArrayView request);
    std::size_t elementsHeld() const { return m_elements.size(); }

    // While the application has the helper watch: how often it steps (zero: it does not).
    std::chrono::milliseconds watchEvery() const;
    // True once after each "watch" request: the steps start afresh.
    bool takeWatchChange() { return std::exchange(m_watchChanged, false); }
    // One step of the watch: the reading's event line when it differs from the last one sent (the
    // first after a "watch" request always), else nothing.
    std::optional<QByteArray> step();

private:
    struct Watch;
    QJsonValue watch(const QJsonObject& request);

    QJsonValue call(const QString& name, const QJsonObject& request, bool& known);
    // The number of `element`, the same for the same object of the other application; 0 for none.
    std::int64_t numberOf(const selection::Element& element);
    selection::Element elementOf(const QJsonValue& number) const;

    selection::AccessibilityBackend& m_backend;
    std::shared_ptr<selection::ApplicationIdentities> m_identities;
    std::map<std::int64_t, selection::Element> m_elements;
    std::int64_t m_next = 1;
    std::unique_ptr<Watch> m_watch;
    bool m_watchChanged = false;
};

// The helper's loop: answers the requests that arrive on standard input on standard output, from the
// event loop of a QCoreApplication (which dispatches the layer's own events in between), and sends
// the layer's announcements between answers; while the application has it watch, it steps on its own
// (on a timer, and soon after each announcement, no sooner than 30 ms after the last step) and sends
// the readings that changed instead of the announcements. Returns the process's exit status: 0 once the input
// closes or the application stops reading, noBusExit once `lost` says the layer lost its bus
// (asked after each request and every second), 2 for a request past every bound.
int serveStandardStreams(selection::AccessibilityBackend& layer, const std::function<bool()>& lost,
                         std::shared_ptr<selection::ApplicationIdentities> identities = nullptr);

} // namespace parlomatic::platform
