#pragma once

#include <QFont>

namespace parlomatic::panels {

// The desktop's user-interface font at the given point size and weight.
inline QFont systemFont(double pointSize, QFont::Weight weight = QFont::Normal)
{
    QFont font;
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

} // namespace parlomatic::panels
