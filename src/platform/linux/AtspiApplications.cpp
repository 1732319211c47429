#include "platform/linux/AtspiApplications.h"

#include "platform/linux/AtspiElement.h"

namespace parlomatic::platform {

namespace {

constexpr const char* launchEvent = "object:children-changed:add";

struct EventFree {
    void operator()(AtspiEvent* event) const { g_boxed_free(ATSPI_TYPE_EVENT, event); }
};

} // namespace

AtspiApplications::AtspiApplications(std::function<void()> onLaunch)
    : m_onLaunch(std::move(onLaunch)), m_desktop(atspi_get_desktop(0))
{
    if (!m_desktop) {
        return;
    }
    m_listener.reset(atspi_event_listener_new(&AtspiApplications::onEvent, this, nullptr));
    ErrorSlot error;
    // Only the registry's own root announces applications; children added elsewhere do not matter.
    if (!atspi_event_listener_register_with_app(m_listener.get(), launchEvent, nullptr, m_desktop.get(), error.out())) {
        m_listener.reset();
    }
}

AtspiApplications::~AtspiApplications()
{
    if (m_listener) {
        ErrorSlot error;
        atspi_event_listener_deregister(m_listener.get(), launchEvent, error.out());
    }
}

void AtspiApplications::onEvent(AtspiEvent* rawEvent, void* self)
{
    const std::unique_ptr<AtspiEvent, EventFree> event(rawEvent);
    auto* applications = static_cast<AtspiApplications*>(self);
    if (event->source != nullptr && event->source == applications->m_desktop.get()) {
        applications->m_missing.clear();
        if (applications->m_onLaunch) {
            applications->m_onLaunch();
        }
    }
}

void AtspiApplications::rescan()
{
    m_applications.clear();
    if (!m_desktop) {
        return;
    }
    ErrorSlot countError;
    const int count = atspi_accessible_get_child_count(m_desktop.get(), countError.out());
    for (int i = 0; !countError && i < count; ++i) {
        ErrorSlot error;
        GObjectPtr<AtspiAccessible> app(atspi_accessible_get_child_at_index(m_desktop.get(), i, error.out()));
        if (error || !app) {
            continue;
        }
        if (const std::optional<Pid> pid = readProcessId(app.get())) {
            m_applications[*pid] = std::move(app);
        }
    }
}

AtspiAccessible* AtspiApplications::find(Pid pid)
{
    if (const auto found = m_applications.find(pid); found != m_applications.end()) {
        return found->second.get();
    }
    const auto now = std::chrono::steady_clock::now();
    if (const auto missed = m_missing.find(pid); missed != m_missing.end() && now - missed->second < missingRetry) {
        return nullptr;
    }
    rescan();
    const auto found = m_applications.find(pid);
    if (found == m_applications.end()) {
        m_missing[pid] = now;
        return nullptr;
    }
    m_missing.erase(pid);
    return found->second.get();
}

std::optional<QString> AtspiApplications::name(Pid pid)
{
    if (const auto known = m_names.find(pid); known != m_names.end()) {
        return known->second;
    }
    const auto app = m_applications.find(pid);
    if (app == m_applications.end()) {
        return std::nullopt;
    }
    ErrorSlot error;
    const GMallocPtr<char> name(atspi_accessible_get_name(app->second.get(), error.out()));
    if (error) {
        return std::nullopt;
    }
    std::optional<QString> result;
    if (name && *name != '\0') {
        result = QString::fromUtf8(name.get());
    }
    m_names[pid] = result;
    return result;
}

std::optional<Pid> AtspiApplications::activeApplication(UnresponsiveProcesses& unresponsive)
{
    rescan();
    for (const auto& [pid, app] : m_applications) {
        const UnresponsiveProcesses::Watch watch(unresponsive, pid);
        if (watch.skip()) {
            continue;
        }
        ErrorSlot error;
        const int count = atspi_accessible_get_child_count(app.get(), error.out());
        for (int i = 0; !error && i < count && !watch.slow(); ++i) {
            ErrorSlot childError;
            const GObjectPtr<AtspiAccessible> child(
                atspi_accessible_get_child_at_index(app.get(), i, childError.out()));
            if (!childError && child && hasState(child.get(), ATSPI_STATE_ACTIVE)) {
                return pid;
            }
        }
    }
    return std::nullopt;
}

} // namespace parlomatic::platform
