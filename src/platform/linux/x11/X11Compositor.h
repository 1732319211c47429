#pragma once

namespace parlomatic::platform {

// Whether a compositing manager runs on the X11 display's default screen (it owns the
// _NET_WM_CM_S<screen> selection). Translucent windows need one; without it they show black
// where they should be clear. False when there is no X11 display.
bool isCompositingActive();

} // namespace parlomatic::platform
