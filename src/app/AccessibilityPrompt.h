#pragma once

#include "app/AppState.h"

#include <QDialog>

#include <functional>

namespace parlomatic::app {

// The one-time request for the accessibility permission: explains why Parlomatic reads other
// applications, says that applications built on Qt or Chromium must be started again to be read,
// and on "Turn On" runs `turnOn`. Non-modal; deletes itself when closed.
class AccessibilityPrompt : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* title = "Parlomatic - Accessibility";
    static constexpr const char* turnOnTitle = "Turn On";

    explicit AccessibilityPrompt(std::function<void()> turnOn, QWidget* parent = nullptr);
};

// The permission over the session's accessibility bus: granted while org.a11y.Status.IsEnabled is
// true; the request is the prompt above, whose "Turn On" sets it.
class BusAccessibilityPermission final : public AccessibilityPermission {
public:
    bool isTrusted() override;
    void requestAccess() override;
};

} // namespace parlomatic::app
