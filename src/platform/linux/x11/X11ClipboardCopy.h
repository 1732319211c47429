#pragma once

#include "selection/WindowPaster.h"

#include <QtGlobal>

#include <chrono>
#include <optional>

namespace parlomatic::platform {

// Copies every format of the X11 CLIPBOARD selection on a display connection of its own: the
// owner's targets, each converted in turn, large ones through INCR transfers. Empty when nobody owns
// the clipboard; nothing when the owner lets one request wait longer than `ownerWait` (a hung
// application) or offers more than `maxBytes` in all (counted while reading, before anything larger is
// fetched). Formats are named as mime types, as Qt names them ("UTF8_STRING" is "text/plain"); the
// selection protocol's own targets are left out. Blocking: for a worker thread.
std::optional<selection::ClipboardFormats> copyX11Clipboard(std::chrono::milliseconds ownerWait, qsizetype maxBytes);

} // namespace parlomatic::platform
