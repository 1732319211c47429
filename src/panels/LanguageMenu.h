#pragma once

#include "service/Language.h"

#include <QWidget>

#include <functional>

namespace parlomatic {

class Preferences;

class LanguageMenuView;

// Embeds a LanguageMenuView in a row of controls and keeps it showing a bound language: the
// picker reports choices to `onSelection`, and its owner answers by setting the label.
class LanguageMenu : public QWidget {
    Q_OBJECT

public:
    LanguageMenu(Preferences& preferences, std::function<void(Language)> onSelection, Language label,
                 QWidget* parent = nullptr);

    Language label() const { return m_label; }
    // Shows and checks the language.
    void setLabel(Language label);

    LanguageMenuView* controller() const { return m_controller; }

private:
    LanguageMenuView* m_controller;
    Language m_label;
};

} // namespace parlomatic
