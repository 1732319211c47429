#include "service/Preferences.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace parlomatic {
namespace {

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

TEST_F(PreferencesTest, PrimaryLanguageDefaultsToEnglishAndReadsThroughFromCode)
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
}

TEST_F(PreferencesTest, ReplaceLanguageIsStoredAsAnIntegerAndSurvivesARestart)
{
    Preferences(path()).setReplaceOutputLanguage(Language::pt_BR);
    EXPECT_EQ(Preferences(path()).replaceOutputLanguage(), Language::pt_BR);

    QSettings settings(QString::fromStdString(path()), QSettings::IniFormat);
    bool isInteger = false;
    EXPECT_EQ(settings.value(QStringLiteral("replaceOutputLanguage")).toString().toInt(&isInteger), 1);
    EXPECT_TRUE(isInteger);
}

TEST_F(PreferencesTest, InvalidReplaceValuesReadAsEnglish)
{
    for (const QVariant& value : {QVariant(3), QVariant(-1), QVariant(QStringLiteral("pt-BR")),
                                  QVariant(QStringLiteral("1.5")), QVariant(QStringLiteral(""))}) {
        storeRaw(QStringLiteral("replaceOutputLanguage"), value);
        EXPECT_EQ(Preferences(path()).replaceOutputLanguage(), Language::en_US) << value.toString().toStdString();
    }
}

TEST_F(PreferencesTest, TranslateTargetStoresTheCode)
{
    Preferences preferences(path());
    preferences.setTranslateTargetLanguage(Language::es_MX);
    EXPECT_EQ(Preferences(path()).stringForKey(translateTargetLanguageKey), "es-MX");
    // It does not decide the next start's target.
    EXPECT_EQ(Preferences(path()).primaryLanguage(), Language::en_US);
}

} // namespace
} // namespace parlomatic
