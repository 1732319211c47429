#include "selection/axUtils.h"
#include "selection/ActionState.h"
#include "selection/PanelPlacement.h"

#include <gtest/gtest.h>

#include <string_view>
#include <utility>
#include <vector>

namespace parlomatic {
namespace {

TEST(AxErrorDescription, EveryResultCodeHasItsExactText)
{
    const std::pair<std::int32_t, std::string_view> table[] = {
        {0, "The operation completed successfully."},
        {-25200, "An operation has failed."},
        {-25201, "The value received in this event is an invalid value for this attribute. This also applies for "
                 "invalid parameters in parameterized attributes."},
        {-25202, "The accessibility object received in this event is invalid."},
        {-25203, "The observer for the accessibility object received in this event is invalid."},
        {-25204, "A fundamental error has occurred, such as a failure to allocate memory during processing. Disable "
                 "App Sandbox."},
        {-25205, "The referenced attribute is not supported. Alternatively, you can return the eventNotHandledErr "
                 "error."},
        {-25206, "The referenced action is not supported. Alternatively, you can return the eventNotHandledErr error."},
        {-25207, "The notification is not supported."},
        {-25208, "The operation is not implemented."},
        {-25209, "The notification is already registered."},
        {-25210, "The notification is not registered."},
        {-25211, "Assistive applications are not enabled in System Preferences."},
        {-25212, "No value is available."},
        {-25213, "The parameterized attribute is not supported. Alternatively, you can return the eventNotHandledErr "
                 "error."},
        {-25214, "The operation lacks the required precision."},
    };
    for (const auto& [code, text] : table) {
        EXPECT_EQ(axErrorDescription(code), text) << code;
    }
    for (const std::int32_t outside : {-25215, -25199, 1, -1}) {
        EXPECT_TRUE(axErrorDescription(outside).empty()) << outside;
    }
}

TEST(TranslatePanelFrame, KeptInTheWorkAreaOfTheSelectionsScreen)
{
    const std::vector<ScreenArea> screens{{QRect(0, 0, 1920, 1080), QRect(0, 30, 1920, 1050), 1.0}};
    const QSize size(400, 300);
    EXPECT_EQ(translatePanelFrame({900, 600, 100, 20}, size, screens), QRect(750, 150, 400, 300));
    EXPECT_EQ(translatePanelFrame({900, 100, 100, 20}, size, screens), QRect(750, 120, 400, 300)) << "below";
    EXPECT_EQ(translatePanelFrame({0, 600, 40, 20}, size, screens), QRect(0, 150, 400, 300)) << "shifted right";
    EXPECT_EQ(translatePanelFrame({900, 600, 100, 20}, size, {}), std::nullopt) << "no screen";
}

TEST(ActionStateTest, CallbackMayReplaceItselfWhileRunningOrBeEmpty)
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
    state.setActionImprove({}); // an empty callback does nothing
    state.triggerImprove();
}

} // namespace
} // namespace parlomatic
