#pragma once

#include "selection/AccessibilityBackend.h"

#include <QString>

namespace parlomatic {

class KeyPaster;

// Writes a text over the selection of another application: the clipboard, then the paste
// shortcut. Right before it writes, it checks that the element's process still owns the front
// window, that the element still has that application's focus and that its selection is still the
// one the text was made for; otherwise it writes nothing and logs one line (never the text). GUI
// thread only.
class WriteBack {
public:
    // Without a key paster (a Wayland session) nothing is ever written. `backend` and `paster`
    // must outlive this object.
    WriteBack(AccessibilityBackend& backend, KeyPaster* paster);

    // Writes `text` over the element's selection, which must still be `selectedText` (compared
    // without white space at either end). True when the paste was sent (whether the application
    // accepted it cannot be known).
    bool writeText(const Element& element, const QString& selectedText, const QString& text);

private:
    AccessibilityBackend& m_backend;
    KeyPaster* m_paster;
};

} // namespace parlomatic
