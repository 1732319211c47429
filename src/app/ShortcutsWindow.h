#pragma once

#include "selection/Shortcuts.h"

#include <QWidget>

#include <map>

class QKeySequenceEdit;
class QLabel;

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::app {

// "Keyboard Shortcuts": one row per action (its keys, and Clear), Restore Defaults and Close. A
// change is kept at once in the user's settings and announced by changed(); keys without Ctrl, Alt
// or Super (other than a function key) are refused, as they would take a key from all typing, and
// keys given to a second action are taken from the first. While the window is shown editing(true)
// asks the owner to let its keys go, so that they can be typed here. Created hidden, reused.
class ShortcutsWindow final : public QWidget {
    Q_OBJECT
public:
    // `note` (may be empty) says how the desktop binds the keys, where it is not Parlomatic.
    // `preferences` must outlive the window.
    ShortcutsWindow(service::Preferences& preferences, const QString& note, QWidget* parent = nullptr);

    QKeySequenceEdit* editor(selection::ShortcutAction action) const { return m_editors.at(action); }

    static constexpr const char* refusedMessage =
        "Use Ctrl, Alt or Super with that key: alone it would be taken from everything you type.";

signals:
    void changed();
    void editing(bool editing);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void keep(selection::ShortcutAction action, const QKeySequence& keys);
    void showStored();

    service::Preferences& m_preferences;
    std::map<selection::ShortcutAction, QKeySequenceEdit*> m_editors;
    QLabel* m_message;
};

} // namespace parlomatic::app
