#pragma once

#include "service/Language.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSettings;

namespace parlomatic::service {

inline constexpr std::string_view primaryLanguageKey = "primaryLanguage";
inline constexpr std::string_view replaceOutputLanguageKey = "replaceOutputLanguage";
inline constexpr std::string_view translateTargetLanguageKey = "translateTargetLanguage";

// The user's stored choices: a flat map from keys to values over QSettings. Safe to use from any
// thread. No operation fails: absent or unreadable values resolve to the documented defaults.
class Preferences {
public:
    // The user's own store (~/.config/Parlomatic/Parlomatic.conf).
    static Preferences& standard();

    // A store in the given INI file; tests use a private one.
    explicit Preferences(const std::string& iniPath);
    ~Preferences();
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    // The stored string, or nothing when the key is absent.
    std::optional<std::string> stringForKey(std::string_view key) const;
    void setString(std::string_view key, std::string_view value);
    // The stored list of strings; empty when the key is absent.
    std::vector<std::string> stringList(std::string_view key) const;
    // An empty list removes the key.
    void setStringList(std::string_view key, const std::vector<std::string>& values);
    void remove(std::string_view key);

    // "primaryLanguage" as stored, or "en-US" when absent.
    std::string primaryLanguageCode() const;
    // "primaryLanguage" through fromCode, en_US when absent or unknown.
    Language primaryLanguage() const;

    // "replaceOutputLanguage": the stored integer raw value; en_US when absent or not a valid raw value.
    Language replaceOutputLanguage() const;
    void setReplaceOutputLanguage(Language language);

    // "translateTargetLanguage" := the code of the language.
    void setTranslateTargetLanguage(Language language);

private:
    Preferences();

    mutable std::mutex m_mutex;
    std::unique_ptr<QSettings> m_settings;
};

} // namespace parlomatic::service
