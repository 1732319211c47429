#include "e2e/DesktopTestSupport.h"
#include "platform/linux/atspi/AtspiElement.h"

#include <X11/Xlib.h>

namespace parlomatic::test {

std::optional<selection::AxRect> windowGeometry(const QString& windowId)
{
    std::unique_ptr<Display, int (*)(Display*)> display(XOpenDisplay(nullptr), XCloseDisplay);
    if (!display || windowId.isEmpty()) {
        return std::nullopt;
    }
    const Window window = windowId.toULong();
    XWindowAttributes attributes{};
    int x = 0;
    int y = 0;
    Window child = 0;
    if (XGetWindowAttributes(display.get(), window, &attributes) == 0 ||
        !XTranslateCoordinates(display.get(), window, DefaultRootWindow(display.get()), 0, 0, &x, &y, &child)) {
        return std::nullopt;
    }
    return selection::AxRect{
        .x = double(x), .y = double(y), .width = double(attributes.width), .height = double(attributes.height)};
}

std::optional<QString> elementText(const selection::Element& element, const std::optional<QString>& replacement)
{
    AtspiAccessible* accessible = platform::atspiOf(element);
    if (accessible == nullptr) {
        return std::nullopt;
    }
    platform::ErrorSlot error;
    if (replacement) {
        const platform::GObjectPtr<AtspiEditableText> editable(atspi_accessible_get_editable_text_iface(accessible));
        if (!editable || !atspi_editable_text_set_text_contents(editable.get(), replacement->toUtf8(), error.out())) {
            return std::nullopt;
        }
    }
    const platform::GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(accessible));
    const platform::GMallocPtr<gchar> value(text ? atspi_text_get_text(text.get(), 0, -1, error.out()) : nullptr);
    return value && !error ? std::optional(QString::fromUtf8(value.get())) : std::nullopt;
}

bool answersAccessibility(qint64 pid, std::chrono::seconds patience)
{
    const platform::GObjectPtr<AtspiAccessible> desktop(atspi_get_desktop(0));
    platform::GObjectPtr<AtspiAccessible> application;
    platform::ErrorSlot listError;
    const int count = desktop ? atspi_accessible_get_child_count(desktop.get(), listError.out()) : 0;
    for (int i = 0; i < count && !application; ++i) {
        platform::ErrorSlot error;
        platform::GObjectPtr<AtspiAccessible> candidate(
            atspi_accessible_get_child_at_index(desktop.get(), i, error.out()));
        platform::ErrorSlot pidError;
        if (candidate && qint64(atspi_accessible_get_process_id(candidate.get(), pidError.out())) == pid) {
            application = std::move(candidate);
        }
    }
    if (!application) {
        return false;
    }
    return waitUntil(
        [&application] {
            atspi_accessible_clear_cache(application.get());
            platform::ErrorSlot error;
            atspi_accessible_get_child_count(application.get(), error.out());
            return !error;
        },
        patience, 100ms);
}

void selectText(const selection::Element& element, int start, int end)
{
    const platform::GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(platform::atspiOf(element)));
    platform::ErrorSlot error;
    if (text) {
        atspi_text_add_selection(text.get(), start, end, error.out());
    }
}

bool unselectText(const selection::Element& element)
{
    const platform::GObjectPtr<AtspiText> text(atspi_accessible_get_text_iface(platform::atspiOf(element)));
    platform::ErrorSlot error;
    return text && atspi_text_remove_selection(text.get(), 0, error.out());
}

} // namespace parlomatic::test
