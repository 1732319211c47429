#include "service/Language.h"

#include "wire/TextServiceRequests.h"

#include <QString>
#include <QTextBoundaryFinder>

namespace parlomatic::service {

int rawValue(Language language)
{
    return static_cast<int>(language);
}

std::optional<Language> languageFromRawValue(long long raw)
{
    for (const Language language : allLanguages) {
        if (rawValue(language) == raw) {
            return language;
        }
    }
    return std::nullopt;
}

static_assert(wire::languages.size() == allLanguages.size(), "one wire code per language");

std::string_view code(Language language)
{
    return wire::languages.at(static_cast<std::size_t>(rawValue(language))).code;
}

std::string_view displayName(Language language)
{
    switch (language) {
    case Language::es_MX:
        return "Spanish (Mexico)";
    case Language::pt_BR:
        return "Portuguese (Brazil)";
    case Language::en_US:
        return "English (US)";
    }
    return "English (US)";
}

std::string description(Language language)
{
    std::string text(displayName(language));
    text += " (";
    text += code(language);
    text += ')';
    return text;
}

std::optional<Language> fromCode(std::string_view languageCode)
{
    for (const Language language : allLanguages) {
        if (code(language) == languageCode) {
            return language;
        }
    }
    return std::nullopt;
}

std::optional<Language> fromLanguageTag(std::string_view tag)
{
    // Two grapheme clusters, not two bytes: "e\u0301s" does not start with "es".
    const QString text = QString::fromUtf8(tag.data(), static_cast<qsizetype>(tag.size()));
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int clusters = 0; clusters < 2; ++clusters) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) {
            break;
        }
        end = next;
    }
    const QString prefix = text.left(end);
    for (const Language language : allLanguages) {
        const QString codePrefix = QString::fromLatin1(code(language).substr(0, 2));
        if (prefix == codePrefix) {
            return language;
        }
    }
    return std::nullopt;
}

std::ostream& operator<<(std::ostream& out, Language language)
{
    return out << description(language);
}

} // namespace parlomatic::service
