#pragma once

#include "selection/ActionsPanel.h"

#include <optional>

namespace parlomatic::selection {

// An actions panel that shows nothing: it only remembers its frame and open flag. The inspector
// runs the poller with it.
class HeadlessActionsPanel final : public ActionsPanel {
public:
    explicit HeadlessActionsPanel(QSize paddedSize = {220, 44}) : m_size(paddedSize) {}

    bool isOpen() const override { return m_open; }
    void close() override
    {
        m_open = false;
        ++closeCount;
    }
    void setFrame(const QRect& frame) override { m_frame = frame; }
    void orderFrontWithoutActivating() override
    {
        m_open = true;
        ++showCount;
    }
    QSize paddedSize() const override { return m_size; }

    std::optional<QRect> frame() const { return m_frame; }
    int closeCount = 0;
    int showCount = 0;

private:
    QSize m_size;
    bool m_open = false;
    std::optional<QRect> m_frame;
};

} // namespace parlomatic::selection
