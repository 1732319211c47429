#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace parlomatic::selection {

// A process identifier as the accessibility layer reports it.
using Pid = std::int32_t;

// An accessibility rectangle: screen pixels, origin at the top-left corner of the primary screen,
// y growing downward.
struct AxRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    friend bool operator==(const AxRect&, const AxRect&) = default;
};

// One accessibility object in another process, held by reference. Backends subclass it; the
// poller only passes elements back to the backend that made them.
class AccessibleElement {
public:
    virtual ~AccessibleElement() = default;
    // The owning process, or nothing when it cannot be read.
    virtual std::optional<Pid> processId() const = 0;
    // Whether both stand for the same object of the other application (two references to one
    // object may be distinct C++ objects).
    virtual bool isSameElement(const AccessibleElement& other) const { return this == &other; }

protected:
    AccessibleElement() = default;
    AccessibleElement(const AccessibleElement&) = default;
    AccessibleElement& operator=(const AccessibleElement&) = default;
};

using Element = std::shared_ptr<AccessibleElement>;

// Roles the poller and the panels compare against.
namespace axRole {
inline constexpr std::string_view textArea = "AXTextArea";
inline constexpr std::string_view textField = "AXTextField";
// A password field: its text is never read, the actions panel never shows over it.
inline constexpr std::string_view secureTextField = "AXSecureTextField";
} // namespace axRole

bool isSecureRole(const QString& role);

// The accessibility result codes and their fixed descriptions. 0 is success.
namespace axError {
inline constexpr std::int32_t success = 0;
inline constexpr std::int32_t failure = -25200;
inline constexpr std::int32_t illegalArgument = -25201;
inline constexpr std::int32_t invalidUIElement = -25202;
inline constexpr std::int32_t invalidUIElementObserver = -25203;
inline constexpr std::int32_t cannotComplete = -25204;
inline constexpr std::int32_t attributeUnsupported = -25205;
inline constexpr std::int32_t actionUnsupported = -25206;
inline constexpr std::int32_t notificationUnsupported = -25207;
inline constexpr std::int32_t notImplemented = -25208;
inline constexpr std::int32_t notificationAlreadyRegistered = -25209;
inline constexpr std::int32_t notificationNotRegistered = -25210;
inline constexpr std::int32_t apiDisabled = -25211;
inline constexpr std::int32_t noValue = -25212;
inline constexpr std::int32_t parameterizedAttributeUnsupported = -25213;
inline constexpr std::int32_t notEnoughPrecision = -25214;
} // namespace axError

// The fixed description of a result code; an empty view for a code outside the table.
std::string_view axErrorDescription(std::int32_t code);

} // namespace parlomatic::selection
