#include "platform/linux/atspi/AtspiApplications.h"

#include "platform/linux/atspi/AtspiElement.h"

#include <cerrno>
#include <csignal>

namespace parlomatic::platform {

namespace {

constexpr const char* launchEvent = "object:children-changed:add";
constexpr const char* leaveEvent = "object:children-changed:remove";
constexpr const char* activateEvent = "window:activate";

} // namespace

AtspiApplications::AtspiApplications(Callbacks callbacks, selection::Pid ownPid)
    : m_callbacks(std::move(callbacks)), m_ownPid(ownPid), m_desktop(atspi_get_desktop(0))
{
    if (!m_desktop) {
        return;
    }
    m_listener.reset(atspi_event_listener_new(&AtspiApplications::onEvent, this, nullptr));
    // Only the registry's own root announces applications; children added elsewhere do not matter.
    for (const char* event : {launchEvent, leaveEvent}) {
        ErrorSlot error;
        atspi_event_listener_register_with_app(m_listener.get(), event, nullptr, m_desktop.get(), error.out());
    }
    ErrorSlot error;
    atspi_event_listener_register(m_listener.get(), activateEvent, error.out());
}

AtspiApplications::~AtspiApplications()
{
    if (m_listener) {
        for (const char* event : {launchEvent, leaveEvent, activateEvent}) {
            ErrorSlot error;
            atspi_event_listener_deregister(m_listener.get(), event, error.out());
        }
    }
}

bool AtspiApplications::processGone(selection::Pid pid)
{
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

void AtspiApplications::onEvent(AtspiEvent* rawEvent, void* self)
{
    const EventPtr event(rawEvent);
    auto* applications = static_cast<AtspiApplications*>(self);
    const Callbacks& callbacks = applications->m_callbacks;
    if (g_str_has_prefix(event->type, "window:activate")) {
        if (callbacks.activated) {
            callbacks.activated();
        }
        return;
    }
    if (event->source == nullptr || event->source != applications->m_desktop.get()) {
        return;
    }
    if (g_str_has_prefix(event->type, leaveEvent)) {
        std::erase_if(applications->m_applications, [](const auto& entry) { return processGone(entry.first); });
        std::erase_if(applications->m_missing, [](const auto& entry) { return processGone(entry.first); });
        std::erase_if(applications->m_names, [](const auto& entry) { return processGone(entry.first); });
        if (callbacks.left) {
            callbacks.left(&AtspiApplications::processGone);
        }
        return;
    }
    applications->m_missing.clear();
    if (callbacks.launched) {
        callbacks.launched();
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
        if (const std::optional<selection::Pid> pid = readProcessId(app.get())) {
            m_applications[*pid] = std::move(app);
        }
    }
}

AtspiAccessible* AtspiApplications::find(selection::Pid pid)
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

std::optional<QString> AtspiApplications::name(selection::Pid pid)
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

std::optional<selection::Pid> AtspiApplications::activeApplication(UnresponsiveProcesses& unresponsive)
{
    rescan();
    for (const auto& [pid, app] : m_applications) {
        const UnresponsiveProcesses::Watch watch(unresponsive, pid);
        if (pid == m_ownPid || watch.skip()) {
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
