#pragma once

#include "selection/AccessibilityBackend.h"

#include <QByteArray>
#include <QJsonObject>

#include <cstdint>
#include <functional>
#include <map>

namespace parlomatic::platform {

// The helper's end of the accessibility protocol (AccessibilityProtocol.h): answers each request
// line with the layer behind it, and keeps the elements it has handed out by number until the
// application drops them. A request that is not one of ours is answered with an error and logged,
// never acted on.
class AccessibilityServer {
public:
    // More elements than this held at once means the other end forgets to drop them: the oldest go.
    static constexpr std::size_t maxElements = 4096;

    explicit AccessibilityServer(selection::AccessibilityBackend& backend) : m_backend(backend) {}

    QByteArray answer(QByteArrayView request);
    std::size_t elementsHeld() const { return m_elements.size(); }

private:
    QJsonValue call(const QString& name, const QJsonObject& request, bool& known);
    // The number of `element`, the same for the same object of the other application; 0 for none.
    std::int64_t numberOf(const selection::Element& element);
    selection::Element elementOf(const QJsonValue& number) const;

    selection::AccessibilityBackend& m_backend;
    std::map<std::int64_t, selection::Element> m_elements;
    std::int64_t m_next = 1;
};

// The helper's loop: answers the requests that arrive on standard input on standard output, from the
// event loop of a QCoreApplication (which dispatches the layer's own events in between), and sends
// the layer's announcements between answers. Returns the process's exit status: 0 once the input
// closes or the application stops reading, noBusExit once `lost` says the layer lost its bus
// (asked after each request and every second), 2 for a request past every bound.
int serveStandardStreams(selection::AccessibilityBackend& layer, const std::function<bool()>& lost);

} // namespace parlomatic::platform
