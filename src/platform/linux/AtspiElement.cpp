#include "platform/linux/AtspiElement.h"

#include <atomic>
#include <memory>

// Exported by libatspi but missing from its headers: its connection to the accessibility bus.
extern "C" DBusConnection* _atspi_bus(void);

namespace parlomatic::platform {

namespace {

bool revivalNeeded = false;
// Grows when libatspi lets go of its bus: objects made before are never touched again.
std::atomic<unsigned> generation = 0;

struct Release {
    gpointer object;
    unsigned generation;
};

} // namespace

void forgetAtspiObjects()
{
    ++generation;
}

void setApplicationsRevived(bool revived)
{
    revivalNeeded = revived;
}

void reviveApplicationRecord(AtspiApplication* application)
{
    if (application == nullptr) {
        return;
    }
    if (application->hash == nullptr) {
        application->hash = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_object_unref);
    }
    if (application->bus == nullptr) {
        application->bus = dbus_connection_ref(_atspi_bus());
    }
}

void reviveApplication(AtspiAccessible* accessible)
{
    if (revivalNeeded && accessible != nullptr) {
        reviveApplicationRecord(accessible->parent.app);
    }
}

AtspiElement::~AtspiElement()
{
    // At once on the home thread (or the main thread with the default context); otherwise queued
    // to it. Queued to a thread that has ended, the reference is left behind, never released here.
    // An object of a libatspi that has let go of its bus since is left behind: its application
    // record is gone, and disposing of it would reach into what is no longer there.
    if (m_accessible) {
        g_main_context_invoke_full(
            m_home, G_PRIORITY_DEFAULT,
            [](gpointer data) {
                const std::unique_ptr<Release> release(static_cast<Release*>(data));
                if (release->generation == generation.load()) {
                    g_object_unref(release->object);
                }
                return gboolean(G_SOURCE_REMOVE);
            },
            new Release{m_accessible.release(), generation.load()}, nullptr);
    }
    g_main_context_unref(m_home);
}

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
    reviveApplication(borrowed);
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
