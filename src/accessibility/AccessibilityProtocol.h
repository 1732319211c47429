#pragma once

#include "selection/AccessibilityBackend.h"
#include "selection/SelectionReader.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

#include <cstdint>
#include <functional>
#include <optional>

// The accessibility helper process and the application speak in lines of compact JSON over the
// helper's standard input and output: one request, one answer, in turn. A request names a call
// of the accessibility layer ("call") with its arguments ("el": an element's number, "pid", "a",
// "b", "text") and the numbers of elements the application no longer holds ("drop"). The answer
// is {"v": value} or {"error": reason}. Between answers the helper may send {"event": "changed"}
// (an announcement) or, while the application has it watch the selection ("watch": every "ms",
// the application's "own" pid, the turned-off application ids "off", a generation "gen"),
// {"event": "reading", "gen": n, "v": reading} whenever a step of its own reads something other
// than the reading it sent last. Elements cross as numbers the helper hands out and resolves
// again; 0 is no element.
namespace parlomatic::platform::accessibilityProtocol {

// A line longer than this is refused by either end (a 10 MB selection, escaped, fits).
inline constexpr qsizetype maxLineBytes = qsizetype{64} * 1024 * 1024;

inline constexpr char changedEvent[] = "changed";
inline constexpr char readingEvent[] = "reading";
// The helper's exit status when there is no accessibility bus, or it went away.
inline constexpr int noBusExit = 3;

QJsonValue toJson(const std::optional<selection::AxRect>& rect);
std::optional<selection::AxRect> rectFrom(const QJsonValue& value);
QJsonValue toJson(const std::optional<selection::AccessibilityBackend::TextMark>& mark);
std::optional<selection::AccessibilityBackend::TextMark> markFrom(const QJsonValue& value);
QJsonValue toJson(const std::optional<QString>& text);
std::optional<QString> textFrom(const QJsonValue& value);
QJsonValue toJson(const std::optional<int>& number);
std::optional<int> numberFrom(const QJsonValue& value);

// A step's reading (a whole step, or readFocused's part of one), its element as the number `element`.
QJsonObject toJson(const selection::SelectionReading& reading, std::int64_t element);
// The reading of such an object, its element made by `element` from its number; nothing when the
// object is not one (an outcome the read cannot have, a value of the wrong type).
std::optional<selection::SelectionReading> readingFrom(const QJsonValue& value,
                                                       const std::function<selection::Element(std::int64_t)>& element);

// One line: the object's compact JSON and a newline.
QByteArray line(const QJsonObject& message);
// The object of a line, or nothing when it is not one.
std::optional<QJsonObject> parse(QByteArrayView line);

} // namespace parlomatic::platform::accessibilityProtocol
