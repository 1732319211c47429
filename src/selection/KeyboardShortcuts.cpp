#include "selection/KeyboardShortcuts.h"

#include "common/Log.h"
#include "selection/LogCategories.h"
#include "selection/Notices.h"
#include "selection/WatchControl.h"
#include "service/Preferences.h"

namespace parlomatic::selection {

KeyboardShortcuts::KeyboardShortcuts(GlobalShortcuts* backend, service::Preferences& preferences, WatchControl& control,
                                     Notices& notices, QObject* parent)
    : QObject(parent), m_preferences(preferences), m_control(control), m_notices(notices), m_backend(backend)
{
    if (m_backend != nullptr) {
        m_backend->setActivated([this](ShortcutAction action) { run(action); });
        m_backend->setRefused([this](const std::vector<GlobalShortcuts::Binding>& taken) { tellTaken(taken); });
    }
    connect(&m_control, &WatchControl::pausedChanged, this, &KeyboardShortcuts::reload);
}

KeyboardShortcuts::~KeyboardShortcuts()
{
    if (m_backend != nullptr) {
        m_backend->bind({});
        m_backend->setActivated({});
        m_backend->setRefused({});
    }
}

void KeyboardShortcuts::setHandler(Handler handler)
{
    m_handler = std::move(handler);
    reload();
}

void KeyboardShortcuts::setSuspended(bool suspended)
{
    m_suspended = suspended;
    reload();
}

void KeyboardShortcuts::reload()
{
    if (m_backend == nullptr) {
        return;
    }
    std::vector<GlobalShortcuts::Binding> bindings;
    if (m_handler && !m_suspended && !m_control.isPaused()) {
        for (const ShortcutAction action : allShortcutActions) {
            if (const QKeySequence keys = storedShortcut(m_preferences, action); !keys.isEmpty()) {
                bindings.push_back({.action = action, .keys = keys});
            }
        }
    }
    tellTaken(m_backend->bind(bindings));
}

void KeyboardShortcuts::tellTaken(const std::vector<GlobalShortcuts::Binding>& bindings)
{
    for (const GlobalShortcuts::Binding& taken : bindings) {
        const QString keys = taken.keys.toString(QKeySequence::PortableText);
        logError("The keys " + keys.toStdString() + " for " + std::string(shortcutName(taken.action)) +
                 " are held by another program.");
        if (m_toldTaken.insert(keys).second) {
            m_notices.tell(NoticeCause::userMustAct,
                           QString::fromLatin1(takenMessage)
                               .arg(taken.keys.toString(QKeySequence::NativeText), shortcutTitle(taken.action)));
        }
    }
}

void KeyboardShortcuts::run(ShortcutAction action)
{
    if (m_handler && m_control.isPaused()) {
        m_notices.tell(NoticeCause::keys, QString::fromLatin1(pausedMessage));
    } else if (m_handler) {
        qCDebug(keysLog) << shortcutName(action).data() << "pressed";
        m_handler(action);
    } else {
        m_notices.tell(NoticeCause::keys, QString::fromLatin1(notWatchingMessage));
    }
}

} // namespace parlomatic::selection
