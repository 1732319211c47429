#pragma once

#include "platform/linux/desktop/GlibHandles.h"
#include "selection/axUtils.h"

#include <atspi/atspi.h>

#include <optional>

namespace parlomatic::platform {

// An AT-SPI object held by reference, as the selection poller passes it around. It may be dropped
// on any thread: its reference is given back on the thread that made it, where the accessibility
// layer lives (libatspi is used from one thread only).
class AtspiElement final : public selection::AccessibleElement {
public:
    explicit AtspiElement(GObjectPtr<AtspiAccessible> accessible, std::optional<selection::Pid> knownPid = std::nullopt)
        : m_accessible(std::move(accessible)), m_pid(knownPid), m_home(g_main_context_ref_thread_default())
    {}
    ~AtspiElement() override;
    AtspiElement(const AtspiElement&) = delete;
    AtspiElement& operator=(const AtspiElement&) = delete;

    AtspiAccessible* get() const { return m_accessible.get(); }
    // Read once from the bus, then remembered.
    std::optional<selection::Pid> processId() const override;
    // libatspi keeps one proxy per remote object while it is referenced.
    bool isSameElement(const selection::AccessibleElement& other) const override
    {
        const auto* atspi = dynamic_cast<const AtspiElement*>(&other);
        return atspi != nullptr && atspi->get() == get();
    }

private:
    GObjectPtr<AtspiAccessible> m_accessible;
    mutable std::optional<selection::Pid> m_pid;
    // The main context of the thread that made the element.
    UniqueCPtr<GMainContext, g_main_context_unref> m_home;
};

// The AT-SPI object behind an element made by this backend, or null.
AtspiAccessible* atspiOf(const selection::Element& element);
selection::Element makeElement(AtspiAccessible* borrowed, std::optional<selection::Pid> knownPid = std::nullopt);

// The process behind an object; nothing on a bus error.
std::optional<selection::Pid> readProcessId(AtspiAccessible* accessible);
bool hasState(AtspiAccessible* accessible, AtspiStateType state);

using StateSetPtr = GObjectPtr<AtspiStateSet>;

// An event as libatspi hands it to a listener, which owns it.
inline void freeEvent(AtspiEvent* event)
{
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}
using EventPtr = UniqueCPtr<AtspiEvent, freeEvent>;

} // namespace parlomatic::platform
