#pragma once

#include "selection/KeyPaster.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QStringList>

namespace parlomatic {

// Records what the clipboard held at each paste; fails with `failure` when set.
class FakeKeyPaster final : public KeyPaster {
public:
    std::expected<void, std::string> pasteShortcut() override
    {
        if (!failure.empty()) {
            return std::unexpected(failure);
        }
        pasted.append(QGuiApplication::clipboard()->text());
        return {};
    }

    QStringList pasted;
    std::string failure;
};

} // namespace parlomatic
