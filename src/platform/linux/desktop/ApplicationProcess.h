#pragma once

#include "selection/axUtils.h"

namespace parlomatic::platform {

// The process whose windows are Parlomatic's own (the strip, the panels), which the accessibility
// layer never reads: this one, or, in the accessibility helper, the application that started it.
selection::Pid applicationProcess();
void setApplicationProcess(selection::Pid pid);

} // namespace parlomatic::platform
