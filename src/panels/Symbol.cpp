#include "panels/Symbol.h"

#include <QFont>
#include <QFontInfo>
#include <QImage>
#include <QPaintDevice>
#include <QPainter>
#include <QRectF>
#include <QSvgRenderer>

#include <array>
#include <cmath>
#include <utility>

namespace parlomatic::panels {

namespace {

constexpr double unitsPerEm = 100.0;

} // namespace

Symbol::Symbol(const QString& name) : Symbol(FromFile{}, QStringLiteral(":/panels/symbols/%1.svg").arg(name)) {}

Symbol::Symbol(FromFile, const QString& path) : m_renderer(std::make_unique<QSvgRenderer>(path))
{
    if (!m_renderer->isValid()) {
        m_renderer.reset();
    }
}

Symbol Symbol::fromFile(const QString& path)
{
    return Symbol(FromFile{}, path);
}

Symbol::~Symbol() = default;
Symbol::Symbol(Symbol&&) noexcept = default;
Symbol& Symbol::operator=(Symbol&&) noexcept = default;

bool Symbol::isNull() const
{
    return m_renderer == nullptr;
}

QSizeF Symbol::sizeForFont(const QFont& font) const
{
    if (isNull()) {
        return {};
    }
    const double em = QFontInfo(font).pixelSize();
    return m_renderer->viewBoxF().size() * (em / unitsPerEm);
}

QSizeF Symbol::sizeForHeight(double height) const
{
    if (isNull() || m_renderer->viewBoxF().height() <= 0) {
        return {};
    }
    const QSizeF natural = m_renderer->viewBoxF().size();
    return natural * (height / natural.height());
}

void Symbol::paint(QPainter& painter, const QRectF& rect, const Palette& colours) const
{
    if (isNull() || rect.isEmpty()) {
        return;
    }
    const QRectF viewBox = m_renderer->viewBoxF();
    const double scaleX = rect.width() / viewBox.width();
    const double scaleY = rect.height() / viewBox.height();
    const double ratio = painter.device() != nullptr ? painter.device()->devicePixelRatioF() : 1.0;

    const std::array<std::pair<QString, QColor>, 3> layers{{
        {QStringLiteral("tertiary"), colours.tertiary},
        {QStringLiteral("secondary"), colours.secondary},
        {QStringLiteral("primary"), colours.primary},
    }};
    bool anyLayer = false;
    for (const auto& [id, colour] : layers) {
        anyLayer = anyLayer || m_renderer->elementExists(id);
    }

    // Each layer is rendered alone into an image and tinted there, so that one layer's colour never
    // bleeds into the pixels of another.
    auto drawLayer = [&](const QString& id, const QColor& colour) {
        if (colour.alpha() == 0) {
            return;
        }
        QImage image(QSize(static_cast<int>(std::ceil(rect.width() * ratio)),
                           static_cast<int>(std::ceil(rect.height() * ratio))),
                     QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter layerPainter(&image);
        layerPainter.setRenderHint(QPainter::Antialiasing);
        if (id.isEmpty()) {
            m_renderer->render(&layerPainter, QRectF(QPointF(0, 0), rect.size()));
        } else {
            const QRectF bounds = m_renderer->boundsOnElement(id);
            const QRectF target((bounds.x() - viewBox.x()) * scaleX, (bounds.y() - viewBox.y()) * scaleY,
                                bounds.width() * scaleX, bounds.height() * scaleY);
            m_renderer->render(&layerPainter, id, target);
        }
        layerPainter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        layerPainter.fillRect(QRectF(QPointF(0, 0), rect.size()), colour);
        layerPainter.end();
        painter.drawImage(rect.topLeft(), image);
    };

    if (!anyLayer) {
        drawLayer(QString(), colours.primary);
        return;
    }
    for (const auto& [id, colour] : layers) {
        if (m_renderer->elementExists(id)) {
            drawLayer(id, colour);
        }
    }
}

} // namespace parlomatic::panels
