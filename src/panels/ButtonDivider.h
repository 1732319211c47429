#pragma once

#include <QWidget>

namespace parlomatic::panels {

// A one-pixel vertical separator as tall as its row: the label colour at 10 % opacity in a light
// theme, 20 % in a dark one.
class ButtonDivider : public QWidget {
    Q_OBJECT

public:
    explicit ButtonDivider(QWidget* parent = nullptr);

    QSize sizeHint() const override { return {1, 1}; }
    // The fill for the palette's theme.
    static QColor colour(const QPalette& palette);

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace parlomatic::panels
