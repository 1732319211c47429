#include "panels/ReplaceButton.h"

#include "panels/LanguageMenu.h"
#include "panels/SemanticColors.h"
#include "panels/SystemFont.h"
#include "service/Preferences.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace parlomatic::panels {

namespace {

constexpr double titlePointSize = 11.0;
constexpr double arrowPointSize = 8.0;
constexpr double paddingX = 5.0;
constexpr double titlePaddingY = 2.0;
constexpr double arrowPaddingX = 2.0;
constexpr double pickerPaddingY = 2.0;
constexpr double pressedOpacity = 0.5;

} // namespace

ReplaceButton::ReplaceButton(const QString& title, std::function<void(service::Language)> action,
                             service::Preferences& preferences, QWidget* parent)
    : QAbstractButton(parent), m_action(std::move(action)), m_preferences(preferences),
      m_arrow(QStringLiteral("arrow.right")), m_arrowSize(m_arrow.sizeForFont(systemFont(arrowPointSize, QFont::Bold))),
      m_languageMenu(new LanguageMenu(
          preferences, [this](service::Language language) { languageChosen(language); },
          preferences.replaceOutputLanguage(), this))
{
    setText(title);
    setFont(systemFont(titlePointSize));
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    connect(this, &QAbstractButton::clicked, this, &ReplaceButton::run);
}

service::Language ReplaceButton::selectedLanguage() const
{
    return m_preferences.replaceOutputLanguage();
}

void ReplaceButton::setSelectedLanguage(service::Language language)
{
    m_preferences.setReplaceOutputLanguage(language);
    m_languageMenu->setLabel(language);
}

void ReplaceButton::run()
{
    if (m_action) {
        m_action(selectedLanguage());
    }
}

void ReplaceButton::languageChosen(service::Language language)
{
    setSelectedLanguage(language);
    if (m_action) {
        m_action(language);
    }
}

QSizeF ReplaceButton::titleSize() const
{
    const QFontMetricsF metrics(font());
    return {std::ceil(metrics.horizontalAdvance(text())), std::ceil(metrics.height())};
}

QSize ReplaceButton::sizeHint() const
{
    const QSizeF title = titleSize();
    const QSize picker = m_languageMenu->sizeHint();
    const double width =
        paddingX + title.width() + arrowPaddingX + m_arrowSize.width() + arrowPaddingX + picker.width() + paddingX;
    const double height =
        std::max({title.height() + 2 * titlePaddingY, m_arrowSize.height(), picker.height() + 2 * pickerPaddingY});
    return {static_cast<int>(std::ceil(width)), static_cast<int>(std::ceil(height))};
}

QRectF ReplaceButton::titleRect() const
{
    const QSizeF title = titleSize();
    return {QPointF(paddingX, (height() - title.height()) / 2), title};
}

QRectF ReplaceButton::arrowRect() const
{
    return {QPointF(titleRect().right() + arrowPaddingX, (height() - m_arrowSize.height()) / 2), m_arrowSize};
}

void ReplaceButton::resizeEvent(QResizeEvent* /*event*/)
{
    placePicker();
}

bool ReplaceButton::event(QEvent* event)
{
    if (event->type() == QEvent::LayoutRequest) {
        updateGeometry();
        placePicker();
    }
    return QAbstractButton::event(event);
}

void ReplaceButton::placePicker()
{
    const QSize picker = m_languageMenu->sizeHint();
    const double x = arrowRect().right() + arrowPaddingX;
    m_languageMenu->setGeometry(static_cast<int>(std::round(x)), (height() - picker.height()) / 2, picker.width(),
                                picker.height());
}

void ReplaceButton::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const double opacity = isDown() ? pressedOpacity : 1.0;
    painter.setPen(SemanticColors::withOpacity(SemanticColors::label(palette()), opacity));
    painter.drawText(titleRect(), Qt::AlignCenter | Qt::TextSingleLine, text());
    m_arrow.paint(painter, arrowRect(),
                  {.primary = SemanticColors::withOpacity(SemanticColors::secondaryLabel(palette()), opacity)});
}

} // namespace parlomatic::panels
