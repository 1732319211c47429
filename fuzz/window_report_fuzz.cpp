// libFuzzer target: what KWin's window script and GNOME Shell's extension report of the focused
// window, as D-Bus values (KWin's as the integers its slots take; GNOME Shell's as values of any
// type, as another program owning the extension's name could answer). Whatever they are, a window
// has a process and finite coordinates with a size, and its scales are finite, at least 1.
#include "FuzzTarget.h"
#include "platform/linux/wayland/gnome/GnomeShellWindows.h"
#include "platform/linux/wayland/kwin/KWinWindows.h"

namespace {

using namespace parlomatic::platform;

void checkRect(const parlomatic::selection::AxRect& rect)
{
    require(finite(rect.x, rect.y, rect.width, rect.height) && rect.width > 0 && rect.height > 0);
}

void check(const FocusedWindow& focused)
{
    require(focused.pid >= 0);
    if (const auto& window = focused.window) {
        checkRect(window->frame);
        if (window->surface) {
            checkRect(*window->surface);
        }
        require(finite(window->rootScale, window->contentScale) && window->rootScale >= 1 && window->contentScale >= 1);
    }
}

// The input as D-Bus values: a byte for each value's type, then its bytes.
QVariantList values(std::string_view input)
{
    QVariantList values;
    while (!input.empty()) {
        switch (take<unsigned char>(input) % 5) {
        case 0:
            values.append(take<int>(input));
            break;
        case 1:
            values.append(take<double>(input));
            break;
        case 2:
            values.append(take<unsigned>(input));
            break;
        case 3:
            values.append(take<unsigned char>(input) % 2 == 1);
            break;
        default: {
            const auto size = std::min<std::size_t>(take<unsigned char>(input) % 16, input.size());
            values.append(QString::fromUtf8(QByteArrayView(input.substr(0, size))));
            input.remove_prefix(size);
        }
        }
    }
    return values;
}

void fuzzOne(std::string_view input)
{
    check(GnomeShellWindows::fromReply(values(input), true));
    check(GnomeShellWindows::fromReply(values(input), false));
    std::array<int, 9> report{};
    for (int& value : report) {
        value = take<int>(input);
    }
    const auto rootWidth = take<unsigned>(input);
    check(KWinWindows::fromReport(report, KWinWindows::rootScaleFor(rootWidth, take<int>(input))));
}

} // namespace
