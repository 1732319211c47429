#pragma once

#include "selection/ActionsPanel.h"

#include <QWidget>

namespace parlomatic::selection {

// A plain stand-in for the actions panel: a small non-activating, frameless tool window that shows
// where the real panel would appear, until the real panel is wired in.
class PlaceholderActionsPanel final : public QWidget, public ActionsPanel {
    Q_OBJECT
public:
    explicit PlaceholderActionsPanel(QWidget* parent = nullptr);

    bool isOpen() const override { return m_open; }
    void close() override;
    void setFrame(const QRect& frame) override;
    void orderFrontWithoutActivating() override;
    QSize paddedSize() const override;

private:
    bool m_open = false;
};

} // namespace parlomatic::selection
