#include "platform/linux/AtspiElement.h"

namespace parlomatic::platform {

std::optional<Pid> AtspiElement::processId() const
{
    if (!m_pid) {
        m_pid = readProcessId(m_accessible.get());
    }
    return m_pid;
}

AtspiAccessible* atspiOf(const Element& element)
{
    const auto* atspi = dynamic_cast<const AtspiElement*>(element.get());
    return atspi != nullptr ? atspi->get() : nullptr;
}

Element makeElement(AtspiAccessible* borrowed, std::optional<Pid> knownPid)
{
    if (borrowed == nullptr) {
        return {};
    }
    return std::make_shared<AtspiElement>(refObject(borrowed), knownPid);
}

std::optional<Pid> readProcessId(AtspiAccessible* accessible)
{
    if (accessible == nullptr) {
        return std::nullopt;
    }
    ErrorSlot error;
    const guint pid = atspi_accessible_get_process_id(accessible, error.out());
    if (error || pid == 0 || pid > 0x7fffffffU) {
        return std::nullopt;
    }
    return static_cast<Pid>(pid);
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state)
{
    const StateSetPtr states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.get(), state);
}

} // namespace parlomatic::platform
