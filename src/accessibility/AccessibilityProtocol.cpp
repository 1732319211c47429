#include "accessibility/AccessibilityProtocol.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>

namespace parlomatic::platform::accessibilityProtocol {

namespace {

bool isWhole(double value)
{
    return std::isfinite(value) && std::trunc(value) == value && value >= std::numeric_limits<int>::min() &&
           value <= std::numeric_limits<int>::max();
}

} // namespace

QJsonValue toJson(const std::optional<AxRect>& rect)
{
    return rect ? QJsonValue(QJsonArray{rect->x, rect->y, rect->width, rect->height}) : QJsonValue();
}

std::optional<AxRect> rectFrom(const QJsonValue& value)
{
    const QJsonArray parts = value.toArray();
    if (parts.size() != 4 || !std::ranges::all_of(parts, [](const QJsonValue& part) {
            return part.isDouble() && std::isfinite(part.toDouble());
        })) {
        return std::nullopt;
    }
    return AxRect{.x = parts[0].toDouble(),
                  .y = parts[1].toDouble(),
                  .width = parts[2].toDouble(),
                  .height = parts[3].toDouble()};
}

QJsonValue toJson(const std::optional<AccessibilityBackend::TextMark>& mark)
{
    return mark ? QJsonValue(QJsonArray{mark->start, mark->end, mark->length}) : QJsonValue();
}

std::optional<AccessibilityBackend::TextMark> markFrom(const QJsonValue& value)
{
    const QJsonArray parts = value.toArray();
    if (parts.size() != 3 || !std::ranges::all_of(parts, [](const QJsonValue& part) {
            return part.isDouble() && isWhole(part.toDouble());
        })) {
        return std::nullopt;
    }
    return AccessibilityBackend::TextMark{
        .start = parts[0].toInt(), .end = parts[1].toInt(), .length = parts[2].toInt()};
}

QJsonValue toJson(const std::optional<QString>& text)
{
    return text ? QJsonValue(*text) : QJsonValue();
}

std::optional<QString> textFrom(const QJsonValue& value)
{
    return value.isString() ? std::optional(value.toString()) : std::nullopt;
}

QJsonValue toJson(const std::optional<int>& number)
{
    return number ? QJsonValue(*number) : QJsonValue();
}

std::optional<int> numberFrom(const QJsonValue& value)
{
    return value.isDouble() && isWhole(value.toDouble()) ? std::optional(value.toInt()) : std::nullopt;
}

QByteArray line(const QJsonObject& message)
{
    return QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<QJsonObject> parse(QByteArrayView line)
{
    if (line.size() > maxLineBytes) {
        return std::nullopt;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line.toByteArray(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return std::nullopt;
    }
    return document.object();
}

} // namespace parlomatic::platform::accessibilityProtocol
