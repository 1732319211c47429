#include "panels/TranslateWindow.h"

#include "panels/FloatingWindow.h"
#include "panels/TranslateState.h"
#include "panels/TranslateView.h"

#include <QCloseEvent>
#include <QGridLayout>

namespace parlomatic {

TranslateWindow::TranslateWindow(TranslateState& state, const QString& identifier, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint), m_state(state), m_view(new TranslateView(state, this)),
      m_idealSize(m_view->sizeHint())
{
    setObjectName(identifier);
    setWindowTitle(QStringLiteral("Parlomatic - Translation"));
    placeByOwnCoordinatesOnXWayland(*this);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view, 0, 0, Qt::AlignCenter);
    resize(m_idealSize);
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
    setGeometry(frame);
}

void TranslateWindow::orderFront()
{
    show();
    raise();
    activateWindow();
    m_isOpen = true;
}

} // namespace parlomatic
