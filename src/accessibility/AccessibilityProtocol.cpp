#include "accessibility/AccessibilityProtocol.h"

#include "selection/PanelPlacement.h"

#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

namespace parlomatic::platform::accessibilityProtocol {

namespace {

bool isWhole(double value)
{
    return std::isfinite(value) && std::trunc(value) == value && value >= std::numeric_limits<int>::min() &&
           value <= std::numeric_limits<int>::max();
}

} // namespace

QJsonValue toJson(const std::optional<selection::AxRect>& rect)
{
    return rect ? QJsonValue(QJsonArray{rect->x, rect->y, rect->width, rect->height}) : QJsonValue();
}

std::optional<selection::AxRect> rectFrom(const QJsonValue& value)
{
    const QJsonArray parts = value.toArray();
    if (parts.size() != 4 || !std::ranges::all_of(parts, [](const QJsonValue& part) {
            return part.isDouble() && std::isfinite(part.toDouble());
        })) {
        return std::nullopt;
    }
    return selection::AxRect{.x = parts[0].toDouble(),
                             .y = parts[1].toDouble(),
                             .width = parts[2].toDouble(),
                             .height = parts[3].toDouble()};
}

QJsonValue toJson(const std::optional<selection::AccessibilityBackend::TextMark>& mark)
{
    return mark ? QJsonValue(QJsonArray{mark->start, mark->end, mark->length}) : QJsonValue();
}

std::optional<selection::AccessibilityBackend::TextMark> markFrom(const QJsonValue& value)
{
    const QJsonArray parts = value.toArray();
    if (parts.size() != 3 || !std::ranges::all_of(parts, [](const QJsonValue& part) {
            return part.isDouble() && isWhole(part.toDouble());
        })) {
        return std::nullopt;
    }
    return selection::AccessibilityBackend::TextMark{
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

namespace {

using Outcome = selection::SelectionReading::Outcome;
using Misplaced = selection::PollStep::Misplaced;

constexpr std::pair<Outcome, QLatin1StringView> outcomeNames[] = {
    {Outcome::noFront, QLatin1StringView("noFront")},         {Outcome::turnedOff, QLatin1StringView("turnedOff")},
    {Outcome::ownWindow, QLatin1StringView("ownWindow")},     {Outcome::noFocus, QLatin1StringView("noFocus")},
    {Outcome::noSelection, QLatin1StringView("noSelection")}, {Outcome::selection, QLatin1StringView("selection")},
};
constexpr std::pair<Misplaced, QLatin1StringView> misplacedNames[] = {
    {Misplaced::no, QLatin1StringView("no")},
    {Misplaced::onElementFrame, QLatin1StringView("onElementFrame")},
    {Misplaced::notShown, QLatin1StringView("notShown")},
};

std::optional<selection::ApplicationIdentity> applicationFrom(const QJsonValue& value)
{
    const QJsonArray parts = value.toArray();
    if (parts.size() != 2 || !parts[0].isString() || !parts[1].isString()) {
        return std::nullopt;
    }
    return selection::ApplicationIdentity{.id = parts[0].toString(), .name = parts[1].toString()};
}

template <typename Value, std::size_t size>
QString nameOf(const std::pair<Value, QLatin1StringView> (&names)[size], Value value)
{
    const auto* found = std::ranges::find(names, value, &std::pair<Value, QLatin1StringView>::first);
    return found != std::end(names) ? QString(found->second) : QString();
}

template <typename Value, std::size_t size>
std::optional<Value> valueOf(const std::pair<Value, QLatin1StringView> (&names)[size], const QJsonValue& name)
{
    const QString text = name.toString();
    const auto* found = std::ranges::find(names, text, &std::pair<Value, QLatin1StringView>::second);
    return found != std::end(names) ? std::optional(found->first) : std::nullopt;
}

// A value that is either absent or null, or what `read` makes of it; false when it is neither.
template <typename T, typename Read> bool optionalFrom(const QJsonValue& value, std::optional<T>& into, Read read)
{
    if (value.isUndefined() || value.isNull()) {
        into.reset();
        return true;
    }
    into = read(value);
    return into.has_value();
}

} // namespace

QJsonObject toJson(const selection::SelectionReading& reading, std::int64_t element)
{
    const selection::PollStep& step = reading.step;
    return {{QStringLiteral("outcome"), nameOf(outcomeNames, reading.outcome)},
            {QStringLiteral("el"), qint64(element)},
            {QStringLiteral("app"), toJson(step.app)},
            {QStringLiteral("role"), toJson(step.role)},
            {QStringLiteral("secure"), step.secure},
            {QStringLiteral("tooLong"), step.selectionTooLong},
            {QStringLiteral("rect"), toJson(step.rect)},
            {QStringLiteral("frame"), toJson(step.frame)},
            {QStringLiteral("misplaced"), nameOf(misplacedNames, step.misplaced)},
            {QStringLiteral("text"), toJson(reading.selectedText)},
            {QStringLiteral("pid"), toJson(step.pid)},
            {QStringLiteral("application"),
             step.application ? QJsonValue(QJsonArray{step.application->id, step.application->name}) : QJsonValue()},
            {QStringLiteral("enhanced"), step.enhancedPass}};
}

std::optional<selection::SelectionReading> readingFrom(const QJsonValue& value,
                                                       const std::function<selection::Element(std::int64_t)>& element)
{
    const QJsonObject object = value.toObject();
    const std::optional<Outcome> outcome = valueOf(outcomeNames, object[QLatin1String("outcome")]);
    const std::optional<Misplaced> misplaced = valueOf(misplacedNames, object[QLatin1String("misplaced")]);
    const QJsonValue number = object[QLatin1String("el")];
    if (!outcome || !misplaced || !number.isDouble() || !object[QLatin1String("secure")].isBool() ||
        !object[QLatin1String("tooLong")].isBool() ||
        !(object[QLatin1String("enhanced")].isBool() || object[QLatin1String("enhanced")].isUndefined())) {
        return std::nullopt;
    }
    selection::SelectionReading reading;
    reading.outcome = *outcome;
    selection::PollStep& step = reading.step;
    step.secure = object[QLatin1String("secure")].toBool();
    step.selectionTooLong = object[QLatin1String("tooLong")].toBool();
    step.misplaced = *misplaced;
    step.enhancedPass = object[QLatin1String("enhanced")].toBool();
    step.turnedOff = *outcome == Outcome::turnedOff;
    if (!optionalFrom(object[QLatin1String("pid")], step.pid, numberFrom) ||
        !optionalFrom(object[QLatin1String("application")], step.application, applicationFrom) ||
        !optionalFrom(object[QLatin1String("app")], step.app, textFrom) ||
        !optionalFrom(object[QLatin1String("role")], step.role, textFrom) ||
        !optionalFrom(object[QLatin1String("rect")], step.rect, rectFrom) ||
        !optionalFrom(object[QLatin1String("frame")], step.frame, rectFrom) ||
        !optionalFrom(object[QLatin1String("text")], reading.selectedText, textFrom)) {
        return std::nullopt;
    }
    const double held = number.toDouble();
    if (held != 0) {
        if (held < 1 || held != std::trunc(held)) {
            return std::nullopt;
        }
        step.element = element(std::int64_t(held));
        if (!step.element) {
            return std::nullopt;
        }
    }
    // Past a focused element every reading names it, and a selection has its rectangle and role.
    const bool focused = *outcome == Outcome::noSelection || *outcome == Outcome::selection;
    if ((focused && !step.element) || (*outcome == Outcome::selection && (!step.rect || !step.role))) {
        return std::nullopt;
    }
    if (*outcome == Outcome::selection) {
        step.text = selection::trimmedSelection(reading.selectedText.value_or(QString()));
    }
    return reading;
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
