#include "selection/axUtils.h"
#include "selection/ActionState.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace parlomatic {
namespace {

TEST(AxErrorDescription, CoversEveryResultCodeWithADistinctText)
{
    std::set<std::string_view> seen;
    for (std::int32_t code = -25214; code <= -25200; ++code) {
        const std::string_view description = axErrorDescription(code);
        EXPECT_FALSE(description.empty()) << code;
        seen.insert(description);
    }
    EXPECT_EQ(axErrorDescription(axError::success), "The operation completed successfully.");
    EXPECT_EQ(axErrorDescription(axError::apiDisabled),
              "Assistive applications are not enabled in System Preferences.");
    EXPECT_EQ(seen.size(), 15U);
    for (const std::int32_t outside : {-25215, -25199, 1, -1}) {
        EXPECT_TRUE(axErrorDescription(outside).empty()) << outside;
    }
}

TEST(ActionStateTest, NotifiesEveryWriteAndToleratesEmptyCallbacks)
{
    ActionState state;
    int typeSignals = 0;
    int closeSignals = 0;
    QObject::connect(&state, &ActionState::typeChanged, [&] { ++typeSignals; });
    QObject::connect(&state, &ActionState::actionCloseChanged, [&] { ++closeSignals; });
    state.setType(ActionType::write);
    state.setType(ActionType::readonly);
    EXPECT_EQ(typeSignals, 2);
    EXPECT_EQ(state.type(), ActionType::readonly);

    state.triggerTranslate();
    state.triggerReplace(Language::en_US);
    state.triggerImprove();
    state.setActionClose({});
    state.triggerClose();
    EXPECT_EQ(closeSignals, 1);
}

TEST(ActionStateTest, CallbackMayReplaceItselfWhileRunning)
{
    ActionState state;
    int runs = 0;
    state.setActionImprove([&] {
        ++runs;
        state.setActionImprove([&] { runs += 10; });
    });
    state.triggerImprove();
    state.triggerImprove();
    EXPECT_EQ(runs, 11);
}

} // namespace
} // namespace parlomatic
