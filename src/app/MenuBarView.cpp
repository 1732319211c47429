#include "app/MenuBarView.h"

#include "app/AppState.h"
#include "app/StartAtLogin.h"
#include "selection/WatchControl.h"

#include <QActionGroup>
#include <QMenu>
#include <QTimer>

namespace parlomatic::app {
namespace {

// A menu title takes "&" as the mark of a shortcut key; a name shows it as written.
QString menuText(const QString& name)
{
    return QString(name).replace(QLatin1Char('&'), QLatin1String("&&"));
}

} // namespace

MenuBarView::MenuBarView(AppState& appState, std::function<void()> quit, QObject* parent)
    : QObject(parent), m_appState(appState), m_quit(std::move(quit)), m_menu(std::make_unique<QMenu>())
{
    m_menu->setSeparatorsCollapsible(false);
    for (auto signal :
         {&AppState::waitingForAuthChanged, &AppState::isAuthenticatedChanged, &AppState::updateLabelChanged,
          &AppState::userChanged, &AppState::accessTokenChanged, &AppState::isReconnectingChanged}) {
        connect(&m_appState, signal, this, &MenuBarView::rebuild);
    }
    rebuild();
}

MenuBarView::~MenuBarView() = default;

// Every choice runs after the menu has closed: the state it changes rebuilds this menu, which must
// not delete the action whose signal is still being delivered.
void MenuBarView::later(std::function<void(AppState&)> step)
{
    QTimer::singleShot(0, &m_appState, [state = &m_appState, step = std::move(step)] { step(*state); });
}

void MenuBarView::rebuild()
{
    m_menu->clear();
    // clear() leaves the submenus, which are children of the menu.
    qDeleteAll(m_menu->findChildren<QMenu*>(Qt::FindDirectChildrenOnly));

    if (m_appState.waitingForAuth()) {
        m_menu->addAction(QString::fromLatin1(loadingTitle))->setEnabled(false);
    } else {
        // A kept session that could not be renewed yet: the user can still sign out of it.
        if (m_appState.isReconnecting()) {
            m_menu->addAction(QString::fromLatin1(reconnectingTitle))->setEnabled(false);
        }
        const bool signedIn = m_appState.isAuthenticated() || m_appState.isReconnecting();
        QAction* account = m_menu->addAction(QString::fromLatin1(signedIn ? logOutTitle : signInTitle));
        connect(account, &QAction::triggered, this, [this] {
            later([](AppState& state) {
                // Decided when chosen, not when the menu was built.
                if (state.isAuthenticated() || state.isReconnecting()) {
                    state.logout();
                } else {
                    state.login();
                }
            });
        });
    }
    m_menu->addSeparator();

    QAction* update = m_menu->addAction(m_appState.updateLabel());
    connect(update, &QAction::triggered, this, [this] { later([](AppState& state) { state.checkForUpdates(); }); });
    m_menu->addSeparator();

    if (m_appState.isAuthenticated()) {
        QMenu* genders = m_menu->addMenu(QString::fromLatin1(genderTitle));
        auto* group = new QActionGroup(genders);
        const std::optional<service::User>& user = m_appState.user();
        const auto current = user ? user->gender : std::nullopt;
        for (const service::Gender gender : service::allGenders) {
            QAction* choice = genders->addAction(QString::fromLatin1(description(gender)));
            choice->setCheckable(true);
            choice->setChecked(current == gender);
            group->addAction(choice);
            connect(choice, &QAction::triggered, this,
                    [this, gender] { later([gender](AppState& state) { state.changePreferredGender(gender); }); });
        }
    }
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): the action group belongs to the gender menu
    m_menu->addSeparator();

    if (m_watchControl != nullptr) {
        addWatchItems(*m_menu, *m_watchControl);
        m_menu->addSeparator();
    }
    if (m_openShortcuts) {
        QAction* shortcuts = m_menu->addAction(QString::fromLatin1(shortcutsTitle));
        connect(shortcuts, &QAction::triggered, this,
                [this] { QTimer::singleShot(0, this, [open = m_openShortcuts] { open(); }); });
    }
    StartAtLogin::addItem(*m_menu);
    QAction* quit = m_menu->addAction(QString::fromLatin1(quitTitle));
    connect(quit, &QAction::triggered, this, [this] { m_quit(); });
}

void MenuBarView::setWatchControl(selection::WatchControl* control)
{
    m_watchControl = control;
    for (auto signal : {&selection::WatchControl::pausedChanged, &selection::WatchControl::turnedOffChanged,
                        &selection::WatchControl::lastShownChanged}) {
        connect(control, signal, this, &MenuBarView::rebuild);
    }
    rebuild();
}

void MenuBarView::setShortcutsItem(std::function<void()> open)
{
    m_openShortcuts = std::move(open);
}

void MenuBarView::addWatchItems(QMenu& menu, selection::WatchControl& control)
{
    // As later(): the change rebuilds the menu, which must not delete the action being triggered.
    const auto choose = [&menu, &control](const QString& title, std::function<void(selection::WatchControl&)> step) {
        QAction* action = menu.addAction(title);
        QObject::connect(action, &QAction::triggered, &control, [&control, step = std::move(step)] {
            QTimer::singleShot(0, &control, [&control, step] { step(control); });
        });
    };
    if (control.isPaused()) {
        choose(QString::fromLatin1(resumeTitle), [](selection::WatchControl& c) { c.resume(); });
    } else {
        choose(QString::fromLatin1(pauseTitle), [](selection::WatchControl& c) { c.pause(); });
    }

    const std::optional<selection::ApplicationIdentity> last = control.lastShown();
    if (last && !control.isTurnedOff(last->id)) {
        choose(QString::fromLatin1(dontShowTitle).arg(menuText(last->name)),
               [application = *last](selection::WatchControl& c) { c.turnOff(application); });
    }

    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks): the analyzer loses the functor std::function owns
    const std::vector<selection::ApplicationIdentity> turnedOff = control.turnedOff();
    if (!turnedOff.empty()) {
        QMenu* applications = menu.addMenu(QString::fromUtf8(turnedOffTitle));
        for (const selection::ApplicationIdentity& application : turnedOff) {
            QAction* item = applications->addAction(menuText(application.name));
            item->setCheckable(true);
            item->setChecked(true);
            QObject::connect(item, &QAction::triggered, &control, [&control, id = application.id] {
                QTimer::singleShot(0, &control, [&control, id] { control.turnOn(id); });
            });
        }
    }
}

} // namespace parlomatic::app
