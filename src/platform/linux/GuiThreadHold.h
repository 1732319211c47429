#pragma once

#include <chrono>
#include <memory>

namespace parlomatic::platform {

// Keeps the GUI thread waiting in a queued call of its own while this lives, so that it dispatches
// nothing meanwhile: libatspi is not thread-safe, and it attaches new connections to the default
// main context, which the GUI thread runs, until this thread takes them over. Does nothing on the
// GUI thread itself or without an application object, and lets go at once if that thread does not
// come to the call within `patience` (it may be waiting for this one).
class GuiThreadHold {
public:
    explicit GuiThreadHold(std::chrono::milliseconds patience = std::chrono::seconds(1));
    ~GuiThreadHold();
    GuiThreadHold(const GuiThreadHold&) = delete;
    GuiThreadHold& operator=(const GuiThreadHold&) = delete;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace parlomatic::platform
