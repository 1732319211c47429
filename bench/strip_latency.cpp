// strip_latency N: inside a private desktop with Parlomatic running and an editor in front whose
// caret stands at the end of a line of text, measures N times the time from the key press that
// selects the line (Shift+Home) to the strip's window being mapped, deselecting (End) in between.
// Prints each time in milliseconds, then the median and the 95th percentile. Driven by
// scripts/measure-latency.

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include <poll.h>

namespace {

using Clock = std::chrono::steady_clock;

void tap(Display* display, KeySym key, bool shift)
{
    const KeyCode shiftCode = XKeysymToKeycode(display, XK_Shift_L);
    const KeyCode code = XKeysymToKeycode(display, key);
    if (shift) {
        XTestFakeKeyEvent(display, shiftCode, True, CurrentTime);
    }
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    if (shift) {
        XTestFakeKeyEvent(display, shiftCode, False, CurrentTime);
    }
    XFlush(display);
}

// Waits for the next event of `type` on the root window's children; the time it arrived.
std::optional<Clock::time_point> waitFor(Display* display, int type, std::chrono::milliseconds patience)
{
    const auto deadline = Clock::now() + patience;
    while (Clock::now() < deadline) {
        while (XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == type) {
                return Clock::now();
            }
        }
        pollfd descriptor{ConnectionNumber(display), POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        poll(&descriptor, 1, static_cast<int>(std::max<long>(1, left.count())));
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 50;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr || count <= 0) {
        std::fprintf(stderr, "usage: strip_latency N (inside a desktop session)\n");
        return 64;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        tap(display, XK_End, false);
        waitFor(display, UnmapNotify, std::chrono::milliseconds(1000));
        // Spread the key presses over the poll interval.
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + 37 * (i % 6)));
        while (XPending(display) > 0) {
            XEvent ignored;
            XNextEvent(display, &ignored);
        }
        const auto pressed = Clock::now();
        tap(display, XK_Home, true);
        if (const auto mapped = waitFor(display, MapNotify, std::chrono::milliseconds(2000))) {
            times.push_back(std::chrono::duration<double, std::milli>(*mapped - pressed).count());
            std::printf("%.1f\n", times.back());
        } else {
            std::printf("missed\n");
        }
    }
    XCloseDisplay(display);
    if (times.empty()) {
        return 1;
    }
    std::sort(times.begin(), times.end());
    const auto at = [&times](double q) { return times[std::min(times.size() - 1, std::size_t(q * times.size()))]; };
    std::printf("samples %zu median %.1f ms p95 %.1f ms\n", times.size(), at(0.5), at(0.95));
    return 0;
}
