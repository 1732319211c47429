#include "panels/TranslateView.h"

#include "panels/ButtonDivider.h"
#include "panels/CloseButton.h"
#include "panels/PanelShape.h"
#include "panels/SemanticColors.h"
#include "panels/SystemFont.h"
#include "panels/TranslateState.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QSizeGrip>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

namespace parlomatic::panels {

namespace {

constexpr QSize minimumViewSize(280, 60);
constexpr QSize maximumViewSize(520, 260);
constexpr int headerHeight = 28;
constexpr double languagePointSize = 10.0;
constexpr double backgroundStrength = 0.6;

QColor blend(const QColor& base, const QColor& over, double strength)
{
    return QColor::fromRgbF(static_cast<float>(base.redF() + (over.redF() - base.redF()) * strength),
                            static_cast<float>(base.greenF() + (over.greenF() - base.greenF()) * strength),
                            static_cast<float>(base.blueF() + (over.blueF() - base.blueF()) * strength));
}

} // namespace

TranslateView::TranslateView(TranslateState& state, QWidget* parent)
    : QWidget(parent), m_state(state),
      m_closeButton(new CloseButton([this] { m_state.triggerClose(); }, this, CloseButton::Colours::panel)),
      m_languageButton(new QToolButton(this)), m_languageMenu(new QMenu(m_languageButton)), m_text(new QLabel(this)),
      m_grip(new QSizeGrip(this))
{
    setMinimumSize(minimumViewSize);
    setMaximumSize(maximumViewSize);

    auto* header = new QWidget(this);
    header->setMinimumHeight(headerHeight);
    auto* headerRow = new QHBoxLayout(header);
    headerRow->setContentsMargins(8, 0, 4, 0);
    headerRow->setSpacing(0);
    headerRow->addWidget(m_closeButton);
    headerRow->addStretch(1);
    headerRow->addSpacing(12);
    headerRow->addWidget(m_languageButton);

    m_languageButton->setAutoRaise(true);
    // Reached with Tab when the panel has the keyboard, never taken by a click.
    m_languageButton->setFocusPolicy(Qt::TabFocus);
    m_languageButton->setPopupMode(QToolButton::InstantPopup);
    m_languageButton->setFont(systemFont(languagePointSize));
    m_languageButton->setMenu(m_languageMenu);
    for (const service::Language language : service::allLanguages) {
        QAction* item = m_languageMenu->addAction(QString::fromUtf8(displayName(language)));
        item->setCheckable(true);
        item->setData(QString::fromUtf8(code(language)));
        connect(item, &QAction::triggered, this, [this, language] {
            // The checked item is the current language: choosing it again starts no request.
            if (language != m_state.targetLanguage()) {
                m_state.setTargetLanguage(language);
            } else {
                showLanguage();
            }
        });
    }

    m_text->setWordWrap(true);
    m_text->setTextFormat(Qt::PlainText);
    m_text->setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setFocusPolicy(Qt::StrongFocus); // the flags alone give it the focus by click only
    m_text->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_text->setText(state.targetText().value_or(TranslateState::loadingText));
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    // Tab goes to the text itself, where the keyboard selects and copies, not to its scroll area.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setWidgetResizable(true);
    scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setWidget(m_text);
    scroll->viewport()->setAutoFillBackground(false);
    m_text->setAutoFillBackground(false);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(header);
    auto* textBox = new QVBoxLayout();
    textBox->setContentsMargins(10, 6, 10, 10);
    textBox->addWidget(scroll);
    column->addLayout(textBox, 1);

    connect(&state, &TranslateState::targetTextChanged, m_text, &QLabel::setText);
    connect(&state, &TranslateState::targetLanguageChanged, this, &TranslateView::showLanguage);
    showLanguage();
}

void TranslateView::showLanguage()
{
    const service::Language current = m_state.targetLanguage();
    m_languageButton->setText(QString::fromUtf8(displayName(current)));
    const QList<QAction*> items = m_languageMenu->actions();
    for (qsizetype i = 0; i < items.size(); ++i) {
        items[i]->setChecked(service::allLanguages[static_cast<std::size_t>(i)] == current);
    }
}

void TranslateView::setRoundedCorners(bool rounded)
{
    m_isRounded = rounded;
    update();
}

void TranslateView::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    const QColor window = palette().color(QPalette::Window);
    const QColor over = SemanticColors::isDark(palette()) ? Qt::black : Qt::white;
    const QColor background = blend(window, over, backgroundStrength);
    if (m_isRounded) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(continuousRoundedRect(QRectF(rect()), cornerRadius), background);
        return;
    }
    // Square and outlined: without a shadow the edge would vanish against a window of its colour.
    painter.fillRect(rect(), background);
    painter.setPen(QPen(ButtonDivider::colour(palette()), 0));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TranslateView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && window()->windowHandle() != nullptr) {
        window()->windowHandle()->startSystemMove();
        return;
    }
    QWidget::mousePressEvent(event);
}

void TranslateView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Inside the rounded corner, so that the grip is not clipped by it.
    const int inset = static_cast<int>(cornerRadius / 4);
    m_grip->move(width() - m_grip->width() - inset, height() - m_grip->height() - inset);
    m_grip->raise();
}

} // namespace parlomatic::panels
