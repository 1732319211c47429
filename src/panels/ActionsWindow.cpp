#include "panels/ActionsWindow.h"

#include "panels/ActionsView.h"
#include "selection/TextSelectionPoller.h"

#include <QCloseEvent>
#include <QEvent>
#include <QGridLayout>

namespace parlomatic::panels {

namespace {

constexpr QSize shadowPadding(35, 20);

} // namespace

ActionsWindow::ActionsWindow(selection::ActionState& state, service::Preferences& preferences,
                             const QString& identifier, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus),
      m_view(new ActionsView(state, preferences, this))
{
    setObjectName(identifier);
    setWindowTitle(QStringLiteral("Parlomatic - Menu"));
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view, 0, 0, Qt::AlignCenter);

    m_paddedSize = m_view->fullRowSizeHint() + shadowPadding;
    setFixedSize(m_paddedSize);

    for (QWidget* part : {static_cast<QWidget*>(m_view), m_view->strip()}) {
        part->installEventFilter(this);
    }
}

void ActionsWindow::setCompositingActive(bool active)
{
    m_isCompositingActive = active;
    m_view->setShadowEnabled(active);
    updateMask();
}

bool ActionsWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize || event->type() == QEvent::Move) {
        updateMask();
    }
    return QWidget::eventFilter(watched, event);
}

void ActionsWindow::updateMask()
{
    if (m_isCompositingActive) {
        clearMask();
        return;
    }
    setMask(m_view->opaqueRegion().translated(m_view->pos()));
}

ActionsWindow::ActionsWindow(selection::TextSelectionPoller& poller, const QString& identifier,
                             service::Preferences& preferences)
    : ActionsWindow(poller.actionState(), preferences, identifier)
{}

ActionsWindow::~ActionsWindow() = default;

void ActionsWindow::close()
{
    hide();
    m_isOpen = false;
}

void ActionsWindow::closeEvent(QCloseEvent* event)
{
    m_isOpen = false;
    event->accept();
}

void ActionsWindow::setFrame(const QRect& frame)
{
    setGeometry(frame);
}

void ActionsWindow::orderFrontWithoutActivating()
{
    show();
    raise();
    m_isOpen = true;
}

} // namespace parlomatic::panels
