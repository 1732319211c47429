#pragma once

#include "common/UniqueResource.h"

// Xlib's display type, declared here so that including this header brings in none of its macros.
struct _XDisplay; // NOLINT(bugprone-reserved-identifier): Xlib's own name for its display

namespace parlomatic::platform {

// Xlib's XCloseDisplay, callable where Xlib's header is not included.
void closeX11Display(_XDisplay* display);

// A connection of XOpenDisplay, closed with its owner.
using X11Display = UniqueCPtr<_XDisplay, closeX11Display>;

} // namespace parlomatic::platform
