#include "selection/ActionState.h"

#include <utility>

namespace parlomatic::selection {

namespace {

// An empty std::function would throw when called; an absent callback means "does nothing".
template <typename F> F orNothing(F callback, F nothing)
{
    return callback ? std::move(callback) : std::move(nothing);
}

} // namespace

ActionState::ActionState(QObject* parent) : QObject(parent) {}

void ActionState::setType(ActionType type)
{
    m_type = type;
    emit typeChanged(type);
}

void ActionState::setActionTranslate(Callback callback)
{
    m_actionTranslate = orNothing<Callback>(std::move(callback), [] {});
    emit actionTranslateChanged();
}

void ActionState::setActionReplace(ReplaceCallback callback)
{
    m_actionReplace = orNothing<ReplaceCallback>(std::move(callback), [](service::Language) {});
    emit actionReplaceChanged();
}

void ActionState::setActionImprove(Callback callback)
{
    m_actionImprove = orNothing<Callback>(std::move(callback), [] {});
    emit actionImproveChanged();
}

void ActionState::setActionClose(Callback callback)
{
    m_actionClose = orNothing<Callback>(std::move(callback), [] {});
    emit actionCloseChanged();
}

void ActionState::triggerTranslate() const
{
    Callback callback = m_actionTranslate;
    callback();
}

void ActionState::triggerReplace(service::Language language) const
{
    // The strip hides Replace and Improve over read-only text, but a hidden button can still be
    // pressed through the accessibility interface: what the strip does not offer does nothing.
    if (m_type != ActionType::write) {
        return;
    }
    ReplaceCallback callback = m_actionReplace;
    callback(language);
}

void ActionState::triggerImprove() const
{
    if (m_type != ActionType::write) {
        return;
    }
    Callback callback = m_actionImprove;
    callback();
}

void ActionState::triggerClose() const
{
    Callback callback = m_actionClose;
    callback();
}

} // namespace parlomatic::selection
