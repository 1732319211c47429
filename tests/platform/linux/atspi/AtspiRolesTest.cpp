#include "platform/linux/atspi/AtspiRoles.h"

#include <gtest/gtest.h>

#include <atspi/atspi.h>

namespace parlomatic::platform {
namespace {

struct RoleCase {
    const char* name;
    RoleFacts facts;
    const char* expected;
};

class RoleClassificationTest : public ::testing::TestWithParam<RoleCase> {};

TEST_P(RoleClassificationTest, FollowsTheOrderOfTheRules)
{
    EXPECT_EQ(classifyRole(GetParam().facts).toStdString(), GetParam().expected);
}

constexpr int text = ATSPI_ROLE_TEXT;

INSTANTIATE_TEST_SUITE_P(
    Table, RoleClassificationTest,
    ::testing::Values(
        // A password field is secure whatever its states say.
        RoleCase{"Password", {ATSPI_ROLE_PASSWORD_TEXT, true, false, false, true}, "AXSecureTextField"},
        RoleCase{"ReadOnlyPassword", {ATSPI_ROLE_PASSWORD_TEXT, false, true, false, true}, "AXSecureTextField"},
        RoleCase{"NotEditable", {text, false, false, true, false}, "AXStaticText"},
        RoleCase{"EditableButReadOnly", {text, true, true, true, false}, "AXStaticText"},
        RoleCase{"EditableTerminal", {ATSPI_ROLE_TERMINAL, true, false, true, false}, "AXTerminal"},
        RoleCase{"WebPage", {ATSPI_ROLE_DOCUMENT_WEB, false, true, false, false}, "AXWebArea"},
        RoleCase{"OtherReadOnlyRole", {ATSPI_ROLE_DOCUMENT_FRAME, false, false, false, false}, "AXDocumentFrame"},
        RoleCase{"MultiLine", {text, true, false, true, false}, "AXTextArea"},
        RoleCase{"SingleLine", {ATSPI_ROLE_ENTRY, true, false, false, true}, "AXTextField"},
        RoleCase{"MultiLineWinsOverRole", {ATSPI_ROLE_ENTRY, true, false, true, false}, "AXTextArea"},
        RoleCase{"ParagraphWithoutLineState", {ATSPI_ROLE_PARAGRAPH, true, false, false, false}, "AXTextArea"},
        RoleCase{"DocumentWithoutLineState", {ATSPI_ROLE_DOCUMENT_TEXT, true, false, false, false}, "AXTextArea"},
        RoleCase{"SectionWithoutLineState", {ATSPI_ROLE_SECTION, true, false, false, false}, "AXTextArea"},
        RoleCase{"ListItemWithoutLineState", {ATSPI_ROLE_LIST_ITEM, true, false, false, false}, "AXTextArea"},
        RoleCase{"EntryWithoutLineState", {ATSPI_ROLE_ENTRY, true, false, false, false}, "AXTextField"},
        RoleCase{"SpinButtonWithoutLineState", {ATSPI_ROLE_SPIN_BUTTON, true, false, false, false}, "AXTextField"}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace parlomatic::platform
