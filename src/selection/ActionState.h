#pragma once

#include "service/Language.h"

#include <QObject>

#include <cstdint>
#include <functional>

namespace parlomatic::selection {

// Which row of buttons the actions panel offers. `readonly`: the selection cannot be written back
// (Translate only). `write`: the selection lies in an editable text control (Translate, Replace, Improve).
enum class ActionType : std::uint8_t {
    readonly = 0,
    write = 1,
};

// The state behind the actions panel: which row of buttons it shows and what each button runs.
// The selection poller rewrites the type and all four callbacks on every step that has a valid
// selection; every write emits the matching change signal. A button press must run the callback
// held at the moment of the press (use the trigger functions, or call the getter at press time,
// never a copy taken when the panel appeared). GUI thread only.
class ActionState : public QObject {
    Q_OBJECT
public:
    using Callback = std::function<void()>;
    using ReplaceCallback = std::function<void(service::Language)>;

    // Starts as `write` with four callbacks that do nothing.
    explicit ActionState(QObject* parent = nullptr);

    ActionType type() const { return m_type; }
    void setType(ActionType type);

    const Callback& actionTranslate() const { return m_actionTranslate; }
    void setActionTranslate(Callback callback);
    const ReplaceCallback& actionReplace() const { return m_actionReplace; }
    void setActionReplace(ReplaceCallback callback);
    const Callback& actionImprove() const { return m_actionImprove; }
    void setActionImprove(Callback callback);
    const Callback& actionClose() const { return m_actionClose; }
    void setActionClose(Callback callback);

    // Run the callback held now. The callback is copied first, so it may replace itself while running.
    // Replace and Improve run only while the type is `write`.
    void triggerTranslate() const;
    void triggerReplace(service::Language language) const;
    void triggerImprove() const;
    void triggerClose() const;

signals:
    // Emitted on every write of `type`, also when the value stays the same.
    void typeChanged(parlomatic::selection::ActionType type);
    void actionTranslateChanged();
    void actionReplaceChanged();
    void actionImproveChanged();
    void actionCloseChanged();

private:
    ActionType m_type = ActionType::write;
    Callback m_actionTranslate = [] {};
    ReplaceCallback m_actionReplace = [](service::Language) {};
    Callback m_actionImprove = [] {};
    Callback m_actionClose = [] {};
};

} // namespace parlomatic::selection
