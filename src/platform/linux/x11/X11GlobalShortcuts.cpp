#include "platform/linux/x11/X11GlobalShortcuts.h"

// Qt before Xlib, whose macros (Status, Bool) break Qt's headers.
#include <QSocketNotifier>
#include <QTimer>

#include "common/Log.h"
#include "platform/linux/x11/X11ErrorTrap.h"

#include <X11/keysym.h>

namespace parlomatic::platform {
namespace {

// The key symbol of a Qt key: letters, digits and function keys directly, others by their X name.
KeySym keysymOf(Qt::Key key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        return XK_a + (key - Qt::Key_A);
    }
    if (key >= Qt::Key_0 && key <= Qt::Key_9) {
        return XK_0 + (key - Qt::Key_0);
    }
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35) {
        return XK_F1 + (key - Qt::Key_F1);
    }
    const QString name = QKeySequence(key).toString(QKeySequence::PortableText);
    KeySym symbol = XStringToKeysym(name.toLatin1().constData());
    if (symbol == NoSymbol) {
        symbol = XStringToKeysym(name.toLower().toLatin1().constData());
    }
    return symbol;
}

constexpr unsigned modifierBits =
    ShiftMask | LockMask | ControlMask | Mod1Mask | Mod2Mask | Mod3Mask | Mod4Mask | Mod5Mask;

unsigned modifierMask(Qt::KeyboardModifiers modifiers)
{
    unsigned mask = 0;
    mask |= modifiers.testFlag(Qt::ShiftModifier) ? ShiftMask : 0U;
    mask |= modifiers.testFlag(Qt::ControlModifier) ? ControlMask : 0U;
    mask |= modifiers.testFlag(Qt::AltModifier) ? Mod1Mask : 0U;
    mask |= modifiers.testFlag(Qt::MetaModifier) ? Mod4Mask : 0U;
    return mask;
}

} // namespace

X11GlobalShortcuts::X11GlobalShortcuts() : m_display(XOpenDisplay(nullptr))
{
    if (!m_display) {
        logError("No X display: the keyboard shortcuts are not held.");
        return;
    }
    m_events = std::make_unique<QSocketNotifier>(ConnectionNumber(m_display.get()), QSocketNotifier::Read);
    QObject::connect(m_events.get(), &QSocketNotifier::activated, m_events.get(), [this] { readEvents(); });
    m_rebind = std::make_unique<QTimer>();
    m_rebind->setSingleShot(true);
    m_rebind->setInterval(0);
    QObject::connect(m_rebind.get(), &QTimer::timeout, m_rebind.get(), [this] { bind(m_bindings); });
}

X11GlobalShortcuts::~X11GlobalShortcuts()
{
    if (m_display) {
        ungrabAll();
        XSync(m_display.get(), False);
    }
}

std::vector<unsigned> X11GlobalShortcuts::lockVariants() const
{
    unsigned numLock = 0;
    const KeyCode numLockCode = XKeysymToKeycode(m_display.get(), XK_Num_Lock);
    if (XModifierKeymap* map = XGetModifierMapping(m_display.get())) {
        for (int modifier = 0; modifier < 8 && numLockCode != 0; ++modifier) {
            for (int i = 0; i < map->max_keypermod; ++i) {
                if (map->modifiermap[modifier * map->max_keypermod + i] == numLockCode) {
                    numLock = 1U << modifier;
                }
            }
        }
        XFreeModifiermap(map);
    }
    return numLock != 0 ? std::vector<unsigned>{0, numLock, LockMask, numLock | LockMask}
                        : std::vector<unsigned>{0, LockMask};
}

void X11GlobalShortcuts::ungrabAll()
{
    const Window root = DefaultRootWindow(m_display.get());
    for (const Grab& grab : m_grabs) {
        XUngrabKey(m_display.get(), static_cast<int>(grab.keycode), grab.modifiers, root);
    }
    m_grabs.clear();
}

std::vector<selection::GlobalShortcuts::Binding> X11GlobalShortcuts::bind(const std::vector<Binding>& bindings)
{
    std::vector<Binding> taken;
    if (!m_display) {
        return taken;
    }
    Display* display = m_display.get();
    m_bindings = bindings;
    ungrabAll();
    const Window root = DefaultRootWindow(display);
    const std::vector<unsigned> variants = lockVariants();
    for (const Binding& binding : bindings) {
        if (binding.keys.isEmpty()) {
            continue;
        }
        const QKeyCombination combination = binding.keys[0];
        const KeyCode keycode = XKeysymToKeycode(display, keysymOf(combination.key()));
        if (keycode == 0) {
            logError("No key of this keyboard gives " +
                     binding.keys.toString(QKeySequence::PortableText).toStdString() + ".");
            continue;
        }
        const unsigned modifiers = modifierMask(combination.keyboardModifiers());
        std::vector<Grab> grabs;
        X11ErrorTrap trap(display);
        for (const unsigned variant : variants) {
            XGrabKey(display, keycode, modifiers | variant, root, False, GrabModeAsync, GrabModeAsync);
            grabs.push_back({binding.action, keycode, modifiers | variant});
        }
        if (trap.sync()) {
            // Another client holds at least one variant: ours, if any took, go too (a shortcut that
            // works only with Num Lock off would puzzle more than one that is told as taken).
            for (const Grab& grab : grabs) {
                XUngrabKey(display, static_cast<int>(grab.keycode), grab.modifiers, root);
            }
            static_cast<void>(trap.sync());
            taken.push_back(binding);
        } else {
            m_grabs.insert(m_grabs.end(), grabs.begin(), grabs.end());
        }
    }
    XFlush(display);
    // The syncs above may have read a press into Xlib's queue, which the socket no longer announces.
    readEvents();
    return taken;
}

void X11GlobalShortcuts::readEvents()
{
    Display* display = m_display.get();
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify && event.xmapping.request != MappingPointer) {
            XRefreshKeyboardMapping(&event.xmapping);
            // Another layout may give the same keys other key codes. Later on: bind() reads the queue.
            m_rebind->start();
            continue;
        }
        if (event.type != KeyPress) {
            continue;
        }
        // The grab holds the whole keyboard until the key goes up: a paste sent meanwhile would come
        // back here instead of reaching the application.
        XUngrabKeyboard(display, event.xkey.time);
        XFlush(display);
        for (const Grab& grab : m_grabs) {
            // The state also carries the pointer's buttons and the keyboard group (another layout):
            // the grab matched on the modifier bits alone.
            if (grab.keycode == event.xkey.keycode && grab.modifiers == (event.xkey.state & modifierBits)) {
                if (m_activated) {
                    m_activated(grab.action);
                }
                break;
            }
        }
    }
}

} // namespace parlomatic::platform
