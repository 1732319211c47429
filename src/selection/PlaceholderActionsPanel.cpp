#include "selection/PlaceholderActionsPanel.h"

#include <QLabel>
#include <QVBoxLayout>

namespace parlomatic::selection {

PlaceholderActionsPanel::PlaceholderActionsPanel(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus)
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    auto* label = new QLabel(QStringLiteral("Parlomatic"), this);
    label->setFocusPolicy(Qt::NoFocus);
    layout->addWidget(label);
    setStyleSheet(QStringLiteral("background: palette(window); border: 1px solid palette(mid);"));
    resize(paddedSize());
}

void PlaceholderActionsPanel::close()
{
    hide();
    m_open = false;
}

void PlaceholderActionsPanel::setFrame(const QRect& frame)
{
    setGeometry(frame);
}

void PlaceholderActionsPanel::orderFrontWithoutActivating()
{
    show();
    raise();
    m_open = true;
}

QSize PlaceholderActionsPanel::paddedSize() const
{
    return {220, 44};
}

} // namespace parlomatic::selection
