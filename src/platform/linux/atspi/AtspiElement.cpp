#include "platform/linux/atspi/AtspiElement.h"

#include <memory>

namespace parlomatic::platform {

AtspiElement::~AtspiElement()
{
    // At once on the home thread (or the main thread with the default context); otherwise queued
    // to it. Queued to a thread that has ended, the reference is left behind, never released here.
    if (m_accessible) {
        g_main_context_invoke_full(
            m_home.get(), G_PRIORITY_DEFAULT,
            [](gpointer object) {
                g_object_unref(object);
                return gboolean(G_SOURCE_REMOVE);
            },
            m_accessible.release(), nullptr);
    }
}

std::optional<selection::Pid> AtspiElement::processId() const
{
    if (!m_pid) {
        m_pid = readProcessId(m_accessible.get());
    }
    return m_pid;
}

AtspiAccessible* atspiOf(const selection::Element& element)
{
    const auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
    return atspi != nullptr ? atspi->get() : nullptr;
}

selection::Element makeElement(AtspiAccessible* borrowed, std::optional<selection::Pid> knownPid)
{
    if (borrowed == nullptr) {
        return {};
    }
    return std::make_shared<AtspiElement>(refObject(borrowed), knownPid);
}

std::optional<selection::Pid> readProcessId(AtspiAccessible* accessible)
{
    if (accessible == nullptr) {
        return std::nullopt;
    }
    ErrorSlot error;
    const guint pid = atspi_accessible_get_process_id(accessible, error.out());
    if (error || pid == 0 || pid > 0x7fffffffU) {
        return std::nullopt;
    }
    return static_cast<selection::Pid>(pid);
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state)
{
    const StateSetPtr states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.get(), state);
}

} // namespace parlomatic::platform
