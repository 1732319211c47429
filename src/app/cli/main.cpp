// parlomatic-inspect: shows what the selection watcher sees in the front application, one JSON
// object per step on standard output. Selected text is printed only with --show-text.

#include "app/parts/PlatformParts.h"
#include "panels/ActionsWindow.h"
#include "platform/linux/atspi/AtspiAccessibility.h"
#include "selection/ActionState.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/PollStepJson.h"
#include "selection/TextSelectionPoller.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>

namespace {

// How long the first step waits for the compositor's first report of its windows.
constexpr auto compositorWait = std::chrono::seconds(2);
constexpr int compositorCheckMs = 10;

struct Options {
    bool once = false;
    bool showText = false;
    int intervalMs = parlomatic::selection::TextSelectionPoller::intervalMs;
    std::optional<long> count;
};

constexpr std::string_view usage = "usage: parlomatic-inspect [--once] [--interval-ms N] [--count N] [--show-text]\n"
                                   "  --once          one step, then exit\n"
                                   "  --interval-ms N milliseconds between steps (default 200)\n"
                                   "  --count N       exit after N steps\n"
                                   "  --show-text     include the selected text (off by default: it is private)\n"
                                   "Why each step decided as it did, on stderr (never the selected text):\n"
                                   "  QT_LOGGING_RULES='parlomatic.*.debug=true' parlomatic-inspect\n"
                                   "(the README's troubleshooting section tells the areas and how to read them)\n";

std::optional<long> positiveNumber(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 3'600'000) {
        return std::nullopt;
    }
    return value;
}

std::optional<Options> parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--once") {
            options.once = true;
        } else if (arg == "--show-text") {
            options.showText = true;
        } else if ((arg == "--interval-ms" || arg == "--count") && i + 1 < argc) {
            const auto value = positiveNumber(argv[++i]);
            if (!value) {
                return std::nullopt;
            }
            if (arg == "--count") {
                options.count = value;
            } else {
                options.intervalMs = static_cast<int>(*value);
            }
        } else {
            return std::nullopt;
        }
    }
    if (options.once) {
        options.count = 1;
    }
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace parlomatic;
    const std::optional<Options> options = parse(argc, argv);
    if (!options) {
        std::cerr << usage;
        return 64;
    }
    // The accessibility layer as the application's helper makes it, for the same session.
    const app::PlatformParts parts(platform::Session::probe());
    if (!parts.session().hasDisplay()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Screens as the application sees them, else the strip is placed against other units.
    app::runOnXWaylandUnderWayland(parts.session());
    QApplication app(argc, argv);

    const std::unique_ptr<platform::AtspiAccessibility> layer = parts.accessibilityLayer();
    platform::AtspiAccessibility& backend = *layer;
    if (!backend.isAvailable()) {
        std::cerr << "parlomatic-inspect: the accessibility bus is not available\n";
        return 69;
    }
    // Placed like the real strip, which is measured here but never shown.
    selection::ActionState stripState;
    const QSize stripSize =
        panels::ActionsWindow(stripState, service::Preferences::standard(), QStringLiteral("inspector")).paddedSize();
    selection::TextSelectionPoller poller(backend, [stripSize](selection::TextSelectionPoller&) {
        return std::make_unique<selection::HeadlessActionsPanel>(stripSize);
    });

    long steps = 0;
    const auto step = [&] {
        const auto started = std::chrono::steady_clock::now();
        selection::PollStep result = poller.checkSelectedText();
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started).count();
        // Shown for every step, also where the poller itself needs no frame.
        if (!result.frame && result.element) {
            result.frame = backend.elementFrame(result.element);
        }
        nlohmann::json line = selection::pollStepToJson(result, options->showText, micros);
        if (result.element && !backend.isWindowPositionKnown(result.element)) {
            line["windowPosition"] =
                backend.hasCompositorAnswered()
                    ? "unknown: the compositor does not tell where this native Wayland window is; no strip is placed"
                    : "unknown: the compositor has not told where its windows are within 2 s; no strip is placed";
        }
        // One line per step, flushed: a reader on a pipe sees each step as it happens.
        std::cout << line.dump() << '\n' << std::flush;
        if (options->count && ++steps >= *options->count) {
            QCoreApplication::quit();
        }
    };

    QTimer timer;
    timer.setInterval(options->intervalMs);
    QObject::connect(&timer, &QTimer::timeout, step);
    const auto firstStep = [&] {
        step();
        if (!options->count || steps < *options->count) {
            timer.start();
        }
    };
    // Pending accessibility events (focus changes) arrive before the first step, and so does the
    // compositor's first report (KWin's script answers a moment after it is loaded): else a single
    // step would tell every native window as one the compositor does not place.
    const auto deadline = std::chrono::steady_clock::now() + compositorWait;
    QTimer waiting;
    waiting.setInterval(compositorCheckMs);
    QObject::connect(&waiting, &QTimer::timeout, [&] {
        if (backend.hasCompositorAnswered() || std::chrono::steady_clock::now() >= deadline) {
            waiting.stop();
            firstStep();
        }
    });
    waiting.start();
    return QCoreApplication::exec();
}
