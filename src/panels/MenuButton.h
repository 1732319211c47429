#pragma once

#include "panels/Symbol.h"

#include <QAbstractButton>
#include <QFont>

#include <optional>

namespace parlomatic::panels {

// A borderless button that draws only its title, at the leading edge, and its image, right-aligned
// and vertically centred; no bezel, no background. Both are drawn in the palette's label colour.
class MenuButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit MenuButton(QWidget* parent = nullptr);

    // The title and the font it is drawn in.
    void setAttributedTitle(const QString& title, const QFont& font);
    QFont titleFont() const { return m_titleFont; }

    // The trailing image, drawn at `size` logical pixels; without one the button draws nothing.
    void setImage(Symbol image, QSizeF size);
    bool hasImage() const { return m_image.has_value(); }

    // The toolkit's own fit of title and image (a 2-pixel margin each side and a 2-pixel gap),
    // and the button's intrinsic size: that fit 2 pixels wider.
    QSize naturalSize() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Where paintEvent draws: the title at (2, 0) in its own size; the image 2 pixels from the
    // trailing edge, vertically centred.
    QRectF titleRect() const;
    QRectF imageRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSizeF titleSize() const;

    QFont m_titleFont;
    std::optional<Symbol> m_image;
    QSizeF m_imageSize;
};

} // namespace parlomatic::panels
