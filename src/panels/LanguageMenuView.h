#pragma once

#include "service/Language.h"

#include <QWidget>

#include <functional>

class QAction;
class QMenu;

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::panels {

class MenuButton;

// The language picker: the code of a language ("EN", "PT", "ES") and a chevron on a light grey
// rounded background; a click pops up the menu of all languages just below it, and choosing an
// item reports that language to `onSelection`. The picker shows what its owner tells it through
// `updateSelection`; choosing an item changes neither the title nor the check marks by itself.
class LanguageMenuView : public QWidget {
    Q_OBJECT

public:
    // Starts with the title of the language stored as the Replace target in `preferences`; no
    // menu item is checked until the first `updateSelection`.
    explicit LanguageMenuView(service::Preferences& preferences, QWidget* parent = nullptr);
    ~LanguageMenuView() override;

    // What a chosen item reports to; nothing happens on a choice while it is empty.
    std::function<void(service::Language)> onSelection;

    // Title := the language's upper-cased two-letter code; the check mark on its item alone.
    void updateSelection(service::Language language);

    // Pops the menu up 8 pixels below the button's lower-left corner (the button's action).
    void showMenu();

    MenuButton* menuButton() const { return m_menuButton; }
    // One item per language in declaration order, tagged (data) with the raw value.
    QMenu* openMenu() const { return m_openMenu; }

    // The upper-cased first piece of the language's code: "EN", "PT" or "ES".
    static QString title(service::Language language);

protected:
    void paintEvent(QPaintEvent* event) override;
    // The menu is a window of its own, which hiding the panel would leave on screen.
    void hideEvent(QHideEvent* event) override;

private:
    void menuItemClicked(QAction* item);

    QMenu* m_openMenu = nullptr;
    MenuButton* m_menuButton = nullptr;
};

} // namespace parlomatic::panels
