#include "panels/TranslateWindow.h"

#include "panels/PanelShape.h"
#include "panels/TranslateState.h"
#include "panels/TranslateView.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QPainter>

namespace parlomatic::panels {

namespace {

constexpr int shadowDepth = 12;
constexpr double shadowOffsetY = 3.0;

} // namespace

TranslateWindow::TranslateWindow(TranslateState& state, const QString& identifier, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint), m_state(state), m_view(new TranslateView(state, this)),
      m_idealSize(m_view->sizeHint())
{
    setObjectName(identifier);
    setWindowTitle(QStringLiteral("Parlomatic - Translation"));
    setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(shadowMargins());
    // Not aligned: an aligned view would keep its ideal size. It grows with the window up to its
    // largest size and stays centred beyond that.
    layout->addWidget(m_view, 0, 0);
    resize(m_idealSize.grownBy(shadowMargins()));
    m_view->installEventFilter(this);
}

QMargins TranslateWindow::shadowMargins() const
{
    if (!m_isCompositingActive) {
        return {};
    }
    const int below = shadowDepth + static_cast<int>(shadowOffsetY);
    return {shadowDepth, shadowDepth, shadowDepth, below};
}

void TranslateWindow::setCompositingActive(bool active)
{
    const QRect placed = geometry().marginsRemoved(shadowMargins());
    m_isCompositingActive = active;
    m_view->setRoundedCorners(active);
    layout()->setContentsMargins(shadowMargins());
    setGeometry(placed.marginsAdded(shadowMargins()));
    updateMask();
    update();
}

bool TranslateWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize || event->type() == QEvent::Move) {
        updateMask();
    }
    return QWidget::eventFilter(watched, event);
}

void TranslateWindow::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        m_state.triggerClose();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TranslateWindow::updateMask()
{
    if (m_isCompositingActive) {
        clearMask();
        return;
    }
    setMask(m_view->geometry());
}

void TranslateWindow::paintEvent(QPaintEvent* /*event*/)
{
    if (!m_isCompositingActive) {
        return;
    }
    QPainter painter(this);
    paintDropShadow(painter, QRectF(m_view->geometry()), TranslateView::cornerRadius, shadowDepth, shadowOffsetY);
}

void TranslateWindow::close()
{
    hide();
    m_isOpen = false;
}

void TranslateWindow::closeEvent(QCloseEvent* event)
{
    m_isOpen = false;
    event->accept();
}

void TranslateWindow::setInputText(const std::optional<QString>& text)
{
    m_state.setInputText(text);
}

void TranslateWindow::setActionClose(std::function<void()> action)
{
    m_state.setActionClose(std::move(action));
}

void TranslateWindow::setFrame(const QRect& frame)
{
    setGeometry(frame.marginsAdded(shadowMargins()));
}

void TranslateWindow::orderFront()
{
    show();
    raise();
    // On XWayland the panel bypasses the window manager and cannot be given the keyboard: asking for
    // it anyway (GNOME Shell complies) leaves the application below without one, and it stays so.
    if (!windowFlags().testFlag(Qt::X11BypassWindowManagerHint)) {
        activateWindow();
    }
    m_isOpen = true;
}

} // namespace parlomatic::panels
