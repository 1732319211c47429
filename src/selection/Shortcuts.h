#pragma once

#include <QKeySequence>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::selection {

// What a global shortcut (or `parlomatic --<name>`) asks for: the strip's buttons, from the keyboard.
enum class ShortcutAction : std::uint8_t { translate, replace, improve };
inline constexpr std::array allShortcutActions{ShortcutAction::translate, ShortcutAction::replace,
                                               ShortcutAction::improve};

// "translate", "replace", "improve": the command-line option without its dashes and the word handed
// to the running instance.
std::string_view shortcutName(ShortcutAction action);
std::optional<ShortcutAction> shortcutNamed(std::string_view name);
// The button's title: "Translate", "Replace", "Improve".
QString shortcutTitle(ShortcutAction action);

// Ctrl+Alt+E, Ctrl+Alt+R, Ctrl+Alt+I.
QKeySequence defaultShortcut(ShortcutAction action);
// The keys kept under "shortcutTranslate", "shortcutReplace" and "shortcutImprove" as portable text
// ("Ctrl+Alt+E"): an empty value is a cleared shortcut, an absent one the default. Only the first
// combination of a sequence counts.
QKeySequence storedShortcut(const service::Preferences& preferences, ShortcutAction action);
void storeShortcut(service::Preferences& preferences, ShortcutAction action, const QKeySequence& keys);

} // namespace parlomatic::selection
