// The poll step: against the fake layer (the poller's own cost) and, inside scripts/desktop-session,
// against Mousepad through AT-SPI (the cost a user pays five times a second).
//   build/<dir>/bench/poller_bench
//   scripts/desktop-session build/<dir>/bench/poller_bench

#include "app/parts/PlatformParts.h"
#include "fakes/FakeAccessibility.h"
#include "platform/linux/atspi/AtspiAccessibility.h"
#include "selection/HeadlessActionsPanel.h"
#include "selection/TextSelectionPoller.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QProcess>
#include <QTimer>

#include <chrono>
#include <memory>

namespace {

using namespace parlomatic;

std::unique_ptr<selection::TextSelectionPoller> makePoller(selection::AccessibilityBackend& backend)
{
    auto poller = std::make_unique<selection::TextSelectionPoller>(
        backend, [](selection::TextSelectionPoller&) { return std::make_unique<selection::HeadlessActionsPanel>(); });
    poller->setScreens([] {
        return std::vector<selection::ScreenArea>{
            {.geometry = QRect(0, 0, 4000, 3000), .workArea = QRect(0, 0, 4000, 3000), .devicePixelRatio = 1.0}};
    });
    return poller;
}

void BM_FakeTick(benchmark::State& state, bool liveSelection)
{
    selection::FakeAccessibility backend;
    auto focused = backend.addApplication(100, QStringLiteral("editor"));
    if (liveSelection) {
        focused->selectedText = QStringLiteral("  a selection of some forty characters  ");
        focused->markerBounds = selection::AxRect{.x = 100, .y = 200, .width = 300, .height = 20};
        focused->role = QStringLiteral("AXTextArea");
    }
    backend.setFront(100);
    auto poller = makePoller(backend);
    while (state.KeepRunning()) {
        benchmark::DoNotOptimize(poller->checkSelectedText());
    }
}
BENCHMARK_CAPTURE(BM_FakeTick, LiveSelection, true);
BENCHMARK_CAPTURE(BM_FakeTick, NoSelection, false);

void spin(std::chrono::milliseconds time)
{
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Desktop {
    std::unique_ptr<QProcess> mousepad;
    std::unique_ptr<platform::AtspiAccessibility> backend;
    std::unique_ptr<selection::TextSelectionPoller> poller;
};

// Mousepad in front with a selection; nothing when no private desktop is running.
std::unique_ptr<Desktop> startDesktop()
{
    if (qEnvironmentVariableIsEmpty("PARLOMATIC_DESKTOP_SESSION")) {
        return nullptr;
    }
    auto desktop = std::make_unique<Desktop>();
    desktop->mousepad = std::make_unique<QProcess>();
    desktop->mousepad->start("mousepad", {});
    desktop->backend = app::PlatformParts(platform::Session::probe()).accessibilityLayer();
    desktop->poller = makePoller(*desktop->backend);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (desktop->backend->frontmostWindowOwnerPid() != desktop->mousepad->processId() &&
           std::chrono::steady_clock::now() < deadline) {
        spin(std::chrono::milliseconds(50));
    }
    QProcess::execute("xdotool", {"type", "--delay", "2", "A line of text that the benchmark selects in Mousepad."});
    QProcess::execute("xdotool", {"key", "ctrl+a"});
    while (desktop->poller->checkSelectedText().decision != selection::PollStep::Decision::show &&
           std::chrono::steady_clock::now() < deadline) {
        spin(std::chrono::milliseconds(50));
    }
    return desktop;
}

// Steps spaced like the real timer (events delivered in between), so the remembered reads count
// exactly as in use.
void stepSpaced(benchmark::State& state, Desktop& desktop, bool dropCache, selection::PollStep::Decision expected)
{
    while (state.KeepRunning()) {
        state.PauseTiming();
        spin(std::chrono::milliseconds(60));
        if (dropCache) {
            desktop.backend->dropCachedReads();
        }
        state.ResumeTiming();
        const selection::PollStep step = desktop.poller->checkSelectedText();
        if (step.decision != expected) {
            state.SkipWithError("unexpected decision");
            break;
        }
    }
}

void registerDesktopBenchmarks(Desktop& desktop)
{
    // The library keeps each benchmark it registers for the whole run; the static analyzer cannot
    // see into it and takes the registration for a leak.
#ifndef __clang_analyzer__
    for (const bool readInFull : {false, true}) {
        benchmark::RegisterBenchmark(readInFull ? "BM_MousepadTickSelectionReadInFull"
                                                : "BM_MousepadTickSelectionUnchanged",
                                     [&desktop, readInFull](benchmark::State& state) {
                                         stepSpaced(state, desktop, readInFull, selection::PollStep::Decision::move);
                                     })
            ->Unit(benchmark::kMicrosecond)
            ->Iterations(60);
    }
#else
    static_cast<void>(desktop);
#endif
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    const std::unique_ptr<Desktop> desktop = startDesktop();
    if (desktop) {
        registerDesktopBenchmarks(*desktop);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (desktop) {
        desktop->mousepad->terminate();
        desktop->mousepad->waitForFinished(5000);
    }
    return 0;
}
