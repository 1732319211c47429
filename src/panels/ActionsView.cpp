#include "panels/ActionsView.h"

#include "panels/ActionButton.h"
#include "panels/AppButton.h"
#include "panels/ButtonDivider.h"
#include "panels/CloseButton.h"
#include "panels/PanelShape.h"
#include "panels/ReplaceButton.h"
#include "panels/SemanticColors.h"

#include <QBitmap>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QPainter>

#include <algorithm>

namespace parlomatic::panels {

namespace {

constexpr int closeButtonSpacing = 4;
constexpr double cornerRadius = 6.0;
constexpr double shadowOpacity = 0.25;
// A soft shadow 3 pixels deep; Qt's blur radius spans the whole kernel, so it is twice that.
constexpr double shadowBlurRadius = 6.0;
constexpr double shadowOffsetY = 2.0;

class ActionStrip : public QWidget {
public:
    explicit ActionStrip(QWidget* parent) : QWidget(parent)
    {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        auto* shadow = new QGraphicsDropShadowEffect(this);
        shadow->setColor(QColor(0, 0, 0, static_cast<int>(255 * shadowOpacity)));
        shadow->setBlurRadius(shadowBlurRadius);
        shadow->setOffset(0, shadowOffsetY);
        setGraphicsEffect(shadow);
    }

    void setShadowEnabled(bool enabled)
    {
        graphicsEffect()->setEnabled(enabled);
        update();
    }

protected:
    void paintEvent(QPaintEvent* /*event*/) override
    {
        QPainter painter(this);
        const bool hasShadow = graphicsEffect()->isEnabled();
        // Without a compositor, half-covered edge pixels would be blended with black, not with
        // what lies below: the edge is drawn hard instead, and outlined, having no shadow to set
        // it off from a background of its own colour.
        painter.setRenderHint(QPainter::Antialiasing, hasShadow);
        const QPainterPath outline = continuousRoundedRect(QRectF(rect()), cornerRadius);
        painter.fillPath(outline, SemanticColors::textBackground(palette()));
        if (!hasShadow) {
            painter.setPen(QPen(ButtonDivider::colour(palette()), 0));
            painter.drawPath(continuousRoundedRect(QRectF(rect()).adjusted(0, 0, -1, -1), cornerRadius));
        }
    }
};

} // namespace

ActionsView::ActionsView(selection::ActionState& state, service::Preferences& preferences, QWidget* parent)
    : QWidget(parent), m_state(state)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

    m_strip = new ActionStrip(this);
    auto* stripLayout = new QHBoxLayout(m_strip);
    stripLayout->setContentsMargins(0, 0, 0, 0);
    stripLayout->setSpacing(0);
    // Buttons sit centred; the logo button and the dividers take the strip's full height.
    auto add = [&](QWidget* item, bool fullHeight) {
        if (fullHeight) {
            stripLayout->addWidget(item);
        } else {
            stripLayout->addWidget(item, 0, Qt::AlignVCenter);
        }
        m_items.append(item);
        return item;
    };
    add(new AppButton([this] { m_state.triggerTranslate(); }, m_strip), true);
    add(new ButtonDivider(m_strip), true);
    add(new ActionButton(
            QStringLiteral("Translate"), [this] { m_state.triggerTranslate(); }, m_strip),
        false);
    m_writeItems.append(add(new ButtonDivider(m_strip), true));
    m_writeItems.append(
        add(new ReplaceButton(
                QStringLiteral("Replace"), [this](service::Language language) { m_state.triggerReplace(language); },
                preferences, m_strip),
            false));
    m_writeItems.append(add(new ButtonDivider(m_strip), true));
    m_writeItems.append(add(new ActionButton(
                                QStringLiteral("Improve"), [this] { m_state.triggerImprove(); }, m_strip),
                            false));

    m_closeButton = new CloseButton([this] { m_state.triggerClose(); }, this);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(closeButtonSpacing);
    row->addWidget(m_strip, 0, Qt::AlignVCenter);
    row->addWidget(m_closeButton, 0, Qt::AlignVCenter);

    connect(&m_state, &selection::ActionState::typeChanged, this, &ActionsView::applyType);
    applyType(m_state.type());
}

ActionsView::~ActionsView() = default;

void ActionsView::applyType(selection::ActionType type)
{
    if (m_shownType == type) {
        return;
    }
    m_shownType = type;
    for (QWidget* item : m_writeItems) {
        item->setVisible(type == selection::ActionType::write);
    }
    // Settle the new size hints now rather than at the next layout pass, so that the panel's
    // size and the centring of the row are right as soon as the type has changed.
    m_strip->layout()->invalidate();
    m_strip->updateGeometry();
    layout()->invalidate();
    updateGeometry();
}

QSize ActionsView::fullRowSizeHint()
{
    applyType(selection::ActionType::write);
    const QSize size = layout()->sizeHint();
    applyType(m_state.type());
    return size;
}

void ActionsView::setShadowEnabled(bool enabled)
{
    static_cast<ActionStrip*>(m_strip)->setShadowEnabled(enabled);
}

QRegion ActionsView::opaqueRegion() const
{
    // Drawn rather than computed, so that the region holds exactly the pixels the strip's hard-edged
    // fill covers. The close button's circle is taken a little smaller: its symbol's edge is
    // blended, and a blended pixel would show black without a compositor.
    QBitmap bitmap(size());
    bitmap.fill(Qt::color0);
    QPainter painter(&bitmap);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::color1);
    painter.drawPath(continuousRoundedRect(QRectF(m_strip->geometry()), cornerRadius));
    painter.drawEllipse(QRectF(m_closeButton->geometry()).adjusted(0.5, 0.5, -0.5, -0.5));
    painter.end();
    return {bitmap};
}

QList<QWidget*> ActionsView::stripItems() const
{
    QList<QWidget*> shown;
    std::ranges::copy_if(m_items, std::back_inserter(shown), [](const QWidget* item) { return !item->isHidden(); });
    return shown;
}

} // namespace parlomatic::panels
