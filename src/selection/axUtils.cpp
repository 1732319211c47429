#include "selection/axUtils.h"

#include <array>
#include <utility>

namespace parlomatic::selection {

namespace {

constexpr std::array<std::pair<std::int32_t, std::string_view>, 16> errorDescriptions{{
    {axError::success, "The operation completed successfully."},
    {axError::failure, "An operation has failed."},
    {axError::illegalArgument, "The value received in this event is an invalid value for this attribute. This also "
                               "applies for invalid parameters in parameterized attributes."},
    {axError::invalidUIElement, "The accessibility object received in this event is invalid."},
    {axError::invalidUIElementObserver, "The observer for the accessibility object received in this event is invalid."},
    {axError::cannotComplete, "A fundamental error has occurred, such as a failure to allocate memory during "
                              "processing. Disable App Sandbox."},
    {axError::attributeUnsupported, "The referenced attribute is not supported. Alternatively, you can return the "
                                    "eventNotHandledErr error."},
    {axError::actionUnsupported, "The referenced action is not supported. Alternatively, you can return the "
                                 "eventNotHandledErr error."},
    {axError::notificationUnsupported, "The notification is not supported."},
    {axError::notImplemented, "The operation is not implemented."},
    {axError::notificationAlreadyRegistered, "The notification is already registered."},
    {axError::notificationNotRegistered, "The notification is not registered."},
    {axError::apiDisabled, "Assistive applications are not enabled in System Preferences."},
    {axError::noValue, "No value is available."},
    {axError::parameterizedAttributeUnsupported, "The parameterized attribute is not supported. Alternatively, you "
                                                 "can return the eventNotHandledErr error."},
    {axError::notEnoughPrecision, "The operation lacks the required precision."},
}};

} // namespace

bool isSecureRole(const QString& role)
{
    return role == QLatin1StringView(axRole::secureTextField.data(), qsizetype(axRole::secureTextField.size()));
}

std::string_view axErrorDescription(std::int32_t code)
{
    for (const auto& [known, description] : errorDescriptions) {
        if (known == code) {
            return description;
        }
    }
    return {};
}

} // namespace parlomatic::selection
