#include "selection/PollStepJson.h"

#include "selection/PanelPlacement.h"
#include "selection/SelectionReader.h"

namespace parlomatic::selection {

namespace {

nlohmann::json rectJson(const std::optional<AxRect>& rect)
{
    if (!rect) {
        return nullptr;
    }
    return nlohmann::json::array({rect->x, rect->y, rect->width, rect->height});
}

nlohmann::json optionalText(const std::optional<QString>& text)
{
    return text ? nlohmann::json(text->toStdString()) : nlohmann::json(nullptr);
}

} // namespace

nlohmann::json pollStepToJson(const PollStep& step, bool showText, std::int64_t tickMicros)
{
    nlohmann::json line = nlohmann::json::object();
    line["pid"] = step.pid ? nlohmann::json(*step.pid) : nlohmann::json(nullptr);
    line["app"] = optionalText(step.app);
    line["role"] = optionalText(step.role);
    line["secure"] = step.secure;
    line["textLength"] = userPerceivedLength(step.text);
    if (showText) {
        line["text"] = step.text.toStdString();
    }
    line["rect"] = rectJson(step.rect);
    line["frame"] = rectJson(step.frame);
    if (step.actionType) {
        line["actionType"] = *step.actionType == ActionType::write ? "write" : "readonly";
    } else {
        line["actionType"] = nullptr;
    }
    line["decision"] = std::string(decisionName(step.decision));
    if (step.panel) {
        line["panel"] =
            nlohmann::json::array({step.panel->x(), step.panel->y(), step.panel->width(), step.panel->height()});
    } else {
        line["panel"] = nullptr;
    }
    if (step.selectionTooLong) {
        line["reason"] = "the selection is longer than the " + std::to_string(SelectionReader::maxSelectionLength) +
                         " characters Parlomatic reads";
    }
    if (step.misplaced != PollStep::Misplaced::no) {
        line["misplacedRect"] = step.misplaced == PollStep::Misplaced::onElementFrame
                                    ? "the selection lies outside its window: the strip stands on the element"
                                    : "the selection lies outside its window, and so does the element: no strip";
    }
    line["tickMicros"] = tickMicros;
    return line;
}

} // namespace parlomatic::selection
