#include "platform/linux/desktop/ShortcutTriggers.h"

#include <array>
#include <utility>

namespace parlomatic::platform {
namespace {

// The key's keysym name: letters in lower case (an upper-case name would mean Shift), and the names
// where Qt's text differs from the keysym's.
QString keysymName(Qt::Key key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        return {QChar(u'a' + (key - Qt::Key_A))};
    }
    QString text = QKeySequence(key).toString(QKeySequence::PortableText);
    static constexpr std::array<std::pair<const char*, const char*>, 6> renamed{{{"PgUp", "Page_Up"},
                                                                                 {"PgDown", "Page_Down"},
                                                                                 {"Ins", "Insert"},
                                                                                 {"Del", "Delete"},
                                                                                 {"Esc", "Escape"},
                                                                                 {"Backspace", "BackSpace"}}};
    for (const auto& [qt, keysym] : renamed) {
        if (text == QLatin1StringView(qt)) {
            return QString::fromLatin1(keysym);
        }
    }
    return text;
}

struct Modifier {
    Qt::KeyboardModifier qt;
    const char* xdg;
    const char* shell;
};
constexpr std::array<Modifier, 4> modifiers{{
    {.qt = Qt::ControlModifier, .xdg = "CTRL+", .shell = "<Control>"},
    {.qt = Qt::AltModifier, .xdg = "ALT+", .shell = "<Alt>"},
    {.qt = Qt::MetaModifier, .xdg = "LOGO+", .shell = "<Super>"},
    {.qt = Qt::ShiftModifier, .xdg = "SHIFT+", .shell = "<Shift>"},
}};

QString written(const QKeySequence& keys, const char* Modifier::*name)
{
    if (keys.isEmpty()) {
        return {};
    }
    const QKeyCombination combination = keys[0];
    QString text;
    for (const Modifier& modifier : modifiers) {
        if (combination.keyboardModifiers().testFlag(modifier.qt)) {
            text += QLatin1StringView(modifier.*name);
        }
    }
    return text + keysymName(combination.key());
}

} // namespace

QString xdgShortcutTrigger(const QKeySequence& keys)
{
    return written(keys, &Modifier::xdg);
}

QString shellAccelerator(const QKeySequence& keys)
{
    return written(keys, &Modifier::shell);
}

} // namespace parlomatic::platform
