#pragma once

#include "service/Language.h"

#include <QWidget>

#include <functional>

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::panels {

class LanguageMenuView;

// Embeds a LanguageMenuView in a row of controls and keeps it showing a bound language: the
// picker reports choices to `onSelection`, and its owner answers by setting the label.
class LanguageMenu : public QWidget {
    Q_OBJECT

public:
    LanguageMenu(service::Preferences& preferences, std::function<void(service::Language)> onSelection,
                 service::Language label, QWidget* parent = nullptr);

    service::Language label() const { return m_label; }
    // Shows and checks the language.
    void setLabel(service::Language label);

    LanguageMenuView* controller() const { return m_controller; }

private:
    LanguageMenuView* m_controller;
    service::Language m_label;
};

} // namespace parlomatic::panels
