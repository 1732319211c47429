#pragma once

#include <QString>

namespace parlomatic::platform {

// What decides an element's role name: its AT-SPI role (an AtspiRole value) and four states.
struct RoleFacts {
    int atspiRole = 0;
    bool editable = false;
    bool readOnly = false;
    bool multiLine = false;
    bool singleLine = false;
};

// The role name the selection poller compares against, decided in this order: a password field is
// "AXSecureTextField"; anything not editable, read-only, or a terminal has a read-only role name;
// editable multi-line text is "AXTextArea", single-line "AXTextField"; without a line state,
// document-like roles (paragraph, document, section, heading, block quote, list item) count as
// an area and everything else as a field.
QString classifyRole(const RoleFacts& facts);

} // namespace parlomatic::platform
