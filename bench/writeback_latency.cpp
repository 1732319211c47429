// writeback_latency: inside a private desktop (scripts/desktop-session; under sway through
// tests/e2e/wayland_session.sh), Replace's write-back into Mousepad once the service has answered:
// the time from the write to the new text standing in the editor (read over AT-SPI), and to the
// write's outcome (when the user's clipboard is back). On X11 the keys go through XTest; on sway
// natively through the compositor.

#include "e2e/DesktopTestSupport.h"
#include "platform/linux/X11KeyPaster.h"
#include "platform/linux/wayland/WaylandPaster.h"
#include "selection/WriteBack.h"

#include <benchmark/benchmark.h>

#include <QApplication>

using namespace parlomatic;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Spins the event loop finely until `done` holds (at most 10 s); the time it took.
std::optional<SteadyClock::duration> timeUntil(const std::function<bool()>& done, SteadyClock::time_point since)
{
    const auto deadline = since + std::chrono::seconds(10);
    while (!done()) {
        if (SteadyClock::now() > deadline) {
            return std::nullopt;
        }
        test::spinEventLoop(std::chrono::milliseconds(2));
    }
    return SteadyClock::now() - since;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("GDK_BACKEND"), wayland ? QStringLiteral("wayland") : QStringLiteral("x11"));
    QProcess editor;
    editor.setProcessEnvironment(environment);
    editor.start(QStringLiteral("mousepad"), {QStringLiteral("--disable-server")});
    const auto stop = qScopeGuard([&editor] {
        editor.kill();
        editor.waitForFinished();
    });
    platform::AtspiAccessibility backend;
    Element element;
    const auto found = timeUntil(
        [&] {
            const Element application = backend.applicationElement(Pid(editor.processId()));
            element = application ? backend.focusedElement(application) : Element{};
            return element && backend.elementRole(element) == QLatin1StringView(axRole::textArea);
        },
        SteadyClock::now());
    if (!found) {
        std::fprintf(stderr, "writeback_latency: Mousepad's text area never came up\n");
        return 1;
    }
    platform::X11KeyPaster keys(wayland);
    const std::unique_ptr<WindowPaster> compositor = wayland ? platform::windowPasterForSession() : nullptr;
    WriteBack writeBack(backend, &keys, compositor.get());

    const QString selected = QStringLiteral("The quarterly report is due next week.");
    const QString answer = QStringLiteral("El informe trimestral vence la semana que viene.");
    benchmark::RegisterBenchmark(wayland ? "WriteBack/sway" : "WriteBack/X11", [&](benchmark::State& state) {
        double outcomes = 0;
        for (auto _ : state) {
            test::elementText(element, selected);
            test::selectText(element, 0, int(selected.size()));
            if (!timeUntil([&] { return backend.selectedText(element) == selected; }, SteadyClock::now())) {
                state.SkipWithError("the selection did not show");
                return;
            }
            std::optional<SteadyClock::time_point> outcome;
            const auto start = SteadyClock::now();
            writeBack.writeText(element, selected, answer, [&outcome](WriteBack::Outcome) { outcome = SteadyClock::now(); });
            const auto inPlace = timeUntil([&] { return test::elementText(element) == answer; }, start);
            if (!inPlace || !timeUntil([&] { return outcome.has_value(); }, start)) {
                state.SkipWithError("the answer did not arrive");
                return;
            }
            state.SetIterationTime(std::chrono::duration<double>(*inPlace).count());
            outcomes += std::chrono::duration<double, std::milli>(*outcome - start).count();
        }
        state.counters["outcome_ms"] = benchmark::Counter(outcomes, benchmark::Counter::kAvgIterations);
    })->UseManualTime()->Iterations(20)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
