#include "selection/Shortcuts.h"

#include "service/Preferences.h"

#include <string>

namespace parlomatic::selection {
namespace {

std::string settingsKey(ShortcutAction action)
{
    std::string name(shortcutName(action));
    name.front() = static_cast<char>(name.front() - 'a' + 'A');
    return "shortcut" + name;
}

} // namespace

std::string_view shortcutName(ShortcutAction action)
{
    switch (action) {
    case ShortcutAction::translate:
        return "translate";
    case ShortcutAction::replace:
        return "replace";
    case ShortcutAction::improve:
        return "improve";
    }
    return "translate";
}

std::optional<ShortcutAction> shortcutNamed(std::string_view name)
{
    for (const ShortcutAction action : allShortcutActions) {
        if (shortcutName(action) == name) {
            return action;
        }
    }
    return std::nullopt;
}

QString shortcutTitle(ShortcutAction action)
{
    QString title = QString::fromLatin1(shortcutName(action));
    title[0] = title[0].toUpper();
    return title;
}

QKeySequence defaultShortcut(ShortcutAction action)
{
    const Qt::Key keys[] = {Qt::Key_E, Qt::Key_R, Qt::Key_I};
    return {Qt::ControlModifier | Qt::AltModifier | keys[static_cast<int>(action)]};
}

QKeySequence storedShortcut(const service::Preferences& preferences, ShortcutAction action)
{
    const std::optional<std::string> stored = preferences.stringForKey(settingsKey(action));
    if (!stored) {
        return defaultShortcut(action);
    }
    const QKeySequence keys = QKeySequence::fromString(QString::fromStdString(*stored), QKeySequence::PortableText);
    return keys.isEmpty() ? QKeySequence() : QKeySequence(keys[0]);
}

void storeShortcut(service::Preferences& preferences, ShortcutAction action, const QKeySequence& keys)
{
    const QKeySequence first = keys.isEmpty() ? QKeySequence() : QKeySequence(keys[0]);
    preferences.setString(settingsKey(action), first.toString(QKeySequence::PortableText).toStdString());
}

} // namespace parlomatic::selection
