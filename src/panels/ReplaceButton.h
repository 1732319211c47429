#pragma once

#include "panels/Symbol.h"
#include "service/Language.h"

#include <QAbstractButton>

#include <functional>

namespace parlomatic::service {
class Preferences;
} // namespace parlomatic::service

namespace parlomatic::panels {

class LanguageMenu;

// The Replace control of the actions strip: the title, a right arrow and the language picker,
// padded 5 pixels left and right. Choosing a language in the picker stores it as the Replace target
// and runs `action` with it at once; a click anywhere else on the control runs `action` with the
// stored language. `action` is read at the moment of the click.
class ReplaceButton : public QAbstractButton {
    Q_OBJECT

public:
    ReplaceButton(const QString& title, std::function<void(service::Language)> action,
                  service::Preferences& preferences, QWidget* parent = nullptr);

    // The stored "replaceOutputLanguage"; English (US) when nothing valid is stored.
    service::Language selectedLanguage() const;
    // Stores the language and shows it in the picker.
    void setSelectedLanguage(service::Language language);

    LanguageMenu* languageMenu() const { return m_languageMenu; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }
    QRectF titleRect() const;
    QRectF arrowRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // The picker's width follows its title ("EN" is wider than "PT"): the control takes its new
    // size, and the picker its new place, whenever the picker asks for a new layout.
    bool event(QEvent* event) override;

private:
    void run();
    void languageChosen(service::Language language);
    QSizeF titleSize() const;
    void placePicker();

    std::function<void(service::Language)> m_action;
    service::Preferences& m_preferences;
    Symbol m_arrow;
    QSizeF m_arrowSize;
    LanguageMenu* m_languageMenu;
};

} // namespace parlomatic::panels
