#pragma once

#include <QAbstractButton>

#include <functional>

namespace parlomatic::panels {

// A plain text button of the actions strip: the title in the 11-point system font and the label
// colour, padded 2 pixels above and below and 5 left and right; the whole padded rectangle takes
// clicks. A click runs `action`, which is read at the moment of the click.
class ActionButton : public QAbstractButton {
    Q_OBJECT

public:
    ActionButton(const QString& title, std::function<void()> action, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::function<void()> m_action;
};

} // namespace parlomatic::panels
