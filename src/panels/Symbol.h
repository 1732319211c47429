#pragma once

#include <QColor>
#include <QSizeF>
#include <QString>

#include <memory>

class QFont;
class QPainter;
class QRectF;
class QSvgRenderer;

namespace parlomatic::panels {

// One of the panels' own monochrome or layered SVG symbols (":/panels/symbols/<name>.svg"). A symbol
// file is drawn on a grid where 100 units are one em of the font it is set in, and names its layers
// "primary", "secondary" and "tertiary"; each layer is painted in a colour of its own, tertiary at
// the back.
class Symbol {
public:
    struct Palette {
        QColor primary;
        QColor secondary = Qt::transparent;
        QColor tertiary = Qt::transparent;
    };

    // "chevron.down", "arrow.right", "xmark.circle.fill"; an unknown name gives a null symbol.
    explicit Symbol(const QString& name);
    // Any SVG resource or file, for the logo.
    static Symbol fromFile(const QString& path);
    ~Symbol();
    Symbol(Symbol&&) noexcept;
    Symbol& operator=(Symbol&&) noexcept;

    bool isNull() const;
    // The drawn size when the symbol is set in the given font, in logical pixels.
    QSizeF sizeForFont(const QFont& font) const;
    // The natural size scaled so that its height is the given one.
    QSizeF sizeForHeight(double height) const;

    // Draws every layer present in the file that has a visible colour, scaled to the rectangle. A
    // file without named layers is drawn whole in the primary colour.
    void paint(QPainter& painter, const QRectF& rect, const Palette& colours) const;

private:
    struct FromFile {};
    Symbol(FromFile, const QString& path);

    std::unique_ptr<QSvgRenderer> m_renderer;
};

} // namespace parlomatic::panels
