#pragma once

#include "panels/Symbol.h"

#include <QAbstractButton>

#include <functional>

namespace parlomatic::panels {

// The logo button at the leading end of the actions strip: the application's logo in the label
// colour, padded 5 pixels left and right and as tall as the strip; the whole area takes clicks.
class AppButton : public QAbstractButton {
    Q_OBJECT

public:
    explicit AppButton(std::function<void()> action, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    // Where the logo is drawn: centred.
    QRectF logoRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<void()> m_action;
    Symbol m_logo;
    QSizeF m_logoSize;
};

} // namespace parlomatic::panels
