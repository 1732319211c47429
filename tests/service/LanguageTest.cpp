#include "service/Language.h"
#include "service/Preferences.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace parlomatic::service {
namespace {

// Codes match exactly, case and all.
TEST(Language, FromCodeAndFromLanguageTag)
{
    const std::pair<std::string, std::optional<Language>> codes[] = {
        {"pt-BR", Language::pt_BR}, {"es-MX", Language::es_MX}, {"en-US", Language::en_US},
        {"pt-br", std::nullopt},    {"pt", std::nullopt},       {"en_US", std::nullopt},
        {"en-US ", std::nullopt},   {"", std::nullopt},         {"de-DE", std::nullopt}};
    for (const auto& [text, language] : codes) {
        EXPECT_EQ(fromCode(text), language) << text;
    }
    // A tag matches by its first two characters.
    const std::pair<std::string, std::optional<Language>> tags[] = {
        {"en", Language::en_US},
        {"en-GB", Language::en_US},
        {"en-US", Language::en_US},
        {"pt", Language::pt_BR},
        {"pt-PT", Language::pt_BR},
        {"es-419", Language::es_MX},
        {"EN", std::nullopt},
        {"Es", std::nullopt},
        {"e", std::nullopt},
        {"fr", std::nullopt},
        {"zh-Hans", std::nullopt},
        {"", std::nullopt},
        // "e" + U+0301 is one character: this tag starts with "é" and "s", not with "es".
        {"e\xcc\x81s", std::nullopt},
        {"pt\xcc\x81", std::nullopt},
    };
    for (const auto& [text, language] : tags) {
        EXPECT_EQ(fromLanguageTag(text), language) << text;
    }
}

class PreferencesTest : public ::testing::Test {
protected:
    std::string path() const { return (m_dir.path() + QStringLiteral("/Parlomatic.conf")).toStdString(); }

    void storeRaw(const QString& key, const QVariant& value) const
    {
        QSettings settings(QString::fromStdString(path()), QSettings::IniFormat);
        settings.setValue(key, value);
    }

    QTemporaryDir m_dir;
};

TEST_F(PreferencesTest, LanguagesDefaultToEnglishAndReadOnlyWhatTheyStore)
{
    Preferences preferences(path());
    EXPECT_FALSE(preferences.stringForKey(primaryLanguageKey).has_value());
    EXPECT_EQ(preferences.primaryLanguageCode(), "en-US");
    EXPECT_EQ(preferences.primaryLanguage(), Language::en_US);
    EXPECT_EQ(preferences.replaceOutputLanguage(), Language::en_US);

    storeRaw(QStringLiteral("primaryLanguage"), QStringLiteral("es-MX"));
    EXPECT_EQ(Preferences(path()).primaryLanguage(), Language::es_MX);

    storeRaw(QStringLiteral("primaryLanguage"), QStringLiteral("de-DE"));
    Preferences unknown(path());
    EXPECT_EQ(unknown.primaryLanguageCode(), "de-DE"); // the raw string is kept for the replace fallback
    EXPECT_EQ(unknown.primaryLanguage(), Language::en_US);

    // The replace language is stored as an integer that survives a restart; any other value reads as English.
    Preferences(path()).setReplaceOutputLanguage(Language::pt_BR);
    EXPECT_EQ(Preferences(path()).replaceOutputLanguage(), Language::pt_BR);
    bool isInteger = false;
    EXPECT_EQ(QSettings(QString::fromStdString(path()), QSettings::IniFormat)
                  .value(QStringLiteral("replaceOutputLanguage"))
                  .toString()
                  .toInt(&isInteger),
              1);
    EXPECT_TRUE(isInteger);

    for (const QVariant& value :
         {QVariant(3), QVariant(-1), QVariant(256), QVariant(qlonglong(1) << 40), QVariant(QStringLiteral("pt-BR")),
          QVariant(QStringLiteral("1.5")), QVariant(QStringLiteral(""))}) {
        storeRaw(QStringLiteral("replaceOutputLanguage"), value);
        EXPECT_EQ(Preferences(path()).replaceOutputLanguage(), Language::en_US) << value.toString().toStdString();
    }
}

} // namespace
} // namespace parlomatic::service
