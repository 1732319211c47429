#pragma once

namespace parlomatic {

// The translation panel as the selection poller sees it: it only ever closes it.
class TranslatePanel {
public:
    virtual ~TranslatePanel() = default;

    virtual bool isOpen() const = 0;
    // Hides the panel and makes isOpen() false.
    virtual void close() = 0;

protected:
    TranslatePanel() = default;
    TranslatePanel(const TranslatePanel&) = default;
    TranslatePanel& operator=(const TranslatePanel&) = default;
};

} // namespace parlomatic
