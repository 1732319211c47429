#include "selection/PollStepJson.h"

#include <gtest/gtest.h>

namespace parlomatic {
namespace {

TEST(PollStepJson, NullsForWhatTheStepDidNotSeeAndNoTextUnlessAsked)
{
    PollStep step;
    step.pid = 12;
    step.text = QStringLiteral("e\u0301te\u0301 \U0001F44D\U0001F3FD");
    step.rect = AxRect{1.5, 2, 3, 4};
    step.decision = PollStep::Decision::paused;
    step.actionType = ActionType::readonly;

    const nlohmann::json hidden = pollStepToJson(step, false, 321);
    EXPECT_FALSE(hidden.contains("text"));
    EXPECT_EQ(hidden["textLength"], 5) << "user-perceived characters, not code units";
    EXPECT_TRUE(hidden["app"].is_null());
    EXPECT_TRUE(hidden["frame"].is_null());
    EXPECT_TRUE(hidden["panel"].is_null());
    EXPECT_EQ(hidden["rect"], nlohmann::json::parse("[1.5, 2.0, 3.0, 4.0]"));
    EXPECT_EQ(hidden["decision"], "paused");
    EXPECT_EQ(hidden["actionType"], "readonly");
    EXPECT_EQ(hidden["secure"], false);
    EXPECT_EQ(hidden["tickMicros"], 321);

    const nlohmann::json shown = pollStepToJson(step, true, 0);
    EXPECT_EQ(shown["text"], step.text.toStdString());
    EXPECT_TRUE(pollStepToJson(PollStep{}, false, 0)["pid"].is_null());
}

} // namespace
} // namespace parlomatic
