#pragma once

#include <QKeySequence>
#include <QString>

namespace parlomatic::platform {

// The first combination of `keys` in the form the global-shortcuts portal takes as a preferred
// trigger: "CTRL+ALT+e", "LOGO+SHIFT+F5".
QString xdgShortcutTrigger(const QKeySequence& keys);
// The same as GNOME Shell's accelerators: "<Control><Alt>e", "<Super><Shift>F5".
QString shellAccelerator(const QKeySequence& keys);

} // namespace parlomatic::platform
