#include "platform/linux/atspi/AtspiRoles.h"

#include "platform/linux/desktop/GlibHandles.h"
#include "selection/axUtils.h"

#include <atspi/atspi.h>

namespace parlomatic::platform {

namespace {

QString fromView(std::string_view name)
{
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

bool isDocumentLike(int role)
{
    switch (role) {
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_DOCUMENT_FRAME:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_EMAIL:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_LIST_ITEM:
        return true;
    default:
        return false;
    }
}

// Names in the style of the other platform's roles, so the inspector shows one vocabulary.
QString readOnlyName(int role)
{
    switch (role) {
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_CAPTION:
        return QStringLiteral("AXStaticText");
    case ATSPI_ROLE_DOCUMENT_WEB:
        return QStringLiteral("AXWebArea");
    case ATSPI_ROLE_TERMINAL:
        return QStringLiteral("AXTerminal");
    default:
        break;
    }
    // "document frame" -> "AXDocumentFrame".
    const GMallocPtr<char> raw(atspi_role_get_name(static_cast<AtspiRole>(role)));
    QString name = QStringLiteral("AX");
    bool upper = true;
    for (const char* c = raw.get(); c != nullptr && *c != '\0'; ++c) {
        if (*c == ' ' || *c == '_' || *c == '-') {
            upper = true;
            continue;
        }
        name.append(upper ? QChar(*c).toUpper() : QChar(*c));
        upper = false;
    }
    return name.size() > 2 ? name : QStringLiteral("AXUnknown");
}

} // namespace

QString classifyRole(const RoleFacts& facts)
{
    if (facts.atspiRole == ATSPI_ROLE_PASSWORD_TEXT) {
        return fromView(selection::axRole::secureTextField);
    }
    if (!facts.editable || facts.readOnly || facts.atspiRole == ATSPI_ROLE_TERMINAL) {
        return readOnlyName(facts.atspiRole);
    }
    if (facts.multiLine) {
        return fromView(selection::axRole::textArea);
    }
    if (facts.singleLine) {
        return fromView(selection::axRole::textField);
    }
    return fromView(isDocumentLike(facts.atspiRole) ? selection::axRole::textArea : selection::axRole::textField);
}

} // namespace parlomatic::platform
