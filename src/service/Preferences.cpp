#include "service/Preferences.h"

#include <QSettings>
#include <QString>
#include <QVariant>

namespace parlomatic::service {
namespace {

QString qKey(std::string_view key)
{
    return QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size()));
}

} // namespace

Preferences& Preferences::standard()
{
    static Preferences preferences;
    return preferences;
}

Preferences::Preferences()
    : m_settings(std::make_unique<QSettings>(QStringLiteral("Parlomatic"), QStringLiteral("Parlomatic")))
{}

Preferences::Preferences(const std::string& iniPath)
    : m_settings(std::make_unique<QSettings>(QString::fromStdString(iniPath), QSettings::IniFormat))
{}

Preferences::~Preferences() = default;

std::optional<std::string> Preferences::stringForKey(std::string_view key) const
{
    std::lock_guard lock(m_mutex);
    const QVariant value = m_settings->value(qKey(key));
    if (!value.isValid() || value.typeId() == QMetaType::QStringList) {
        return std::nullopt;
    }
    return value.toString().toStdString();
}

void Preferences::setString(std::string_view key, std::string_view value)
{
    std::lock_guard lock(m_mutex);
    m_settings->setValue(qKey(key), QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size())));
    m_settings->sync();
}

std::vector<std::string> Preferences::stringList(std::string_view key) const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> values;
    for (const QString& value : m_settings->value(qKey(key)).toStringList()) {
        values.push_back(value.toStdString());
    }
    return values;
}

void Preferences::setStringList(std::string_view key, const std::vector<std::string>& values)
{
    if (values.empty()) {
        remove(key);
        return;
    }
    QStringList list;
    for (const std::string& value : values) {
        list.push_back(QString::fromStdString(value));
    }
    std::lock_guard lock(m_mutex);
    m_settings->setValue(qKey(key), list);
    m_settings->sync();
}

void Preferences::remove(std::string_view key)
{
    std::lock_guard lock(m_mutex);
    m_settings->remove(qKey(key));
    m_settings->sync();
}

std::string Preferences::primaryLanguageCode() const
{
    return stringForKey(primaryLanguageKey).value_or(std::string(code(Language::en_US)));
}

Language Preferences::primaryLanguage() const
{
    return fromCode(primaryLanguageCode()).value_or(Language::en_US);
}

Language Preferences::replaceOutputLanguage() const
{
    std::lock_guard lock(m_mutex);
    const QVariant value = m_settings->value(qKey(replaceOutputLanguageKey));
    bool ok = false;
    const qlonglong raw = value.toLongLong(&ok);
    if (!value.isValid() || !ok) {
        return Language::en_US;
    }
    return languageFromRawValue(raw).value_or(Language::en_US);
}

void Preferences::setReplaceOutputLanguage(Language language)
{
    std::lock_guard lock(m_mutex);
    m_settings->setValue(qKey(replaceOutputLanguageKey), rawValue(language));
    m_settings->sync();
}

void Preferences::setTranslateTargetLanguage(Language language)
{
    setString(translateTargetLanguageKey, code(language));
}

} // namespace parlomatic::service
