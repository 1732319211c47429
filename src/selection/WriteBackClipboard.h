#pragma once

#include "selection/WindowPaster.h"

#include <optional>

namespace parlomatic::selection {

// What the user's clipboard is when it is our own: under a paste of ours not yet given back, what
// that paste keeps; else a copy of what we serve, which is also a pasted text that stayed on it as
// nothing older could be kept (the toolkit hands back our own data only while we own the clipboard).
// Nothing when another application holds it, or nobody does.
std::optional<std::optional<ClipboardFormats>> ownClipboard();

} // namespace parlomatic::selection
