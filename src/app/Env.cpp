#include "app/Env.h"

#include "common/ConfFile.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace parlomatic::app {
namespace {

// EX_CONFIG from sysexits.h: a configuration error.
constexpr int configurationExitCode = 78;

[[noreturn]] void stopOnConfigError(const ConfigError& error)
{
    // NOLINTNEXTLINE(modernize-use-std-print): GCC 12 has no <print>
    std::fprintf(stderr, "parlomatic: configuration error: %s\n", error.message().c_str());
    std::fflush(stderr);
    // The first use may come from a worker thread while others run: static destructors must not
    // pull their state away, so the process ends without them.
    std::_Exit(configurationExitCode);
}

template <typename T> const T& valueOrStop(const std::expected<T, ConfigError>& result)
{
    if (!result) {
        stopOnConfigError(result.error());
    }
    return *result;
}

const EnvSource& processSource()
{
    static const EnvSource source(bundleDirectory());
    return source;
}

} // namespace

std::string ConfigError::message() const
{
    return file.string() + ": key \"" + key + "\" " + reason;
}

EnvSource::EnvSource(std::filesystem::path bundleDirectory) : m_directory(std::move(bundleDirectory)) {}

std::filesystem::path EnvSource::infoFile() const
{
    return m_directory / "Info.conf";
}

std::expected<std::string, ConfigError> EnvSource::string(const std::string& key) const
{
    const auto file = ConfFile::load(infoFile());
    if (!file) {
        return std::unexpected(
            ConfigError{.file = infoFile(), .key = key, .reason = "cannot be read: the file is missing or unreadable"});
    }
    auto value = file->value(key);
    if (!value) {
        return std::unexpected(ConfigError{.file = infoFile(), .key = key, .reason = "is missing"});
    }
    return std::move(*value);
}

std::expected<QUrl, ConfigError> EnvSource::url(const std::string& key) const
{
    auto text = string(key);
    if (!text) {
        return std::unexpected(text.error());
    }
    QUrl url(QString::fromStdString(*text), QUrl::StrictMode);
    if (text->empty() || !url.isValid() || url.scheme().isEmpty()) {
        return std::unexpected(ConfigError{.file = infoFile(), .key = key, .reason = "is not a URL"});
    }
    return url;
}

std::string EnvSource::bundleIdentifier() const
{
    const auto file = ConfFile::load(infoFile());
    if (file) {
        if (auto identifier = file->value("BundleIdentifier"); identifier && !identifier->empty()) {
            return *identifier;
        }
    }
    return compiledBundleIdentifier;
}

std::optional<std::filesystem::path> EnvSource::extraCaFile() const
{
    const auto value = string("PMExtraCAFile");
    if (!value || value->empty()) {
        return std::nullopt;
    }
    std::filesystem::path file(*value);
    if (file.is_relative()) {
        const char* dataHome = std::getenv("XDG_DATA_HOME");
        const char* home = std::getenv("HOME");
        const std::filesystem::path base = dataHome != nullptr && *dataHome == '/' ? std::filesystem::path(dataHome)
                                           : home != nullptr ? std::filesystem::path(home) / ".local/share"
                                                             : std::filesystem::path();
        if (base.empty()) {
            return std::nullopt;
        }
        file = base / file;
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return std::nullopt;
    }
    return file;
}

const std::string& Env::apiDomain()
{
    static const std::string value = valueOrStop(processSource().string("PMAPIDomain"));
    return value;
}

const std::string& Env::authAudience()
{
    static const std::string value = valueOrStop(processSource().string("PMAuthAudience"));
    return value;
}

const std::string& Env::authScope()
{
    static const std::string value = valueOrStop(processSource().string("PMAuthScope"));
    return value;
}

const QUrl& Env::authRedirectURL()
{
    static const QUrl value = valueOrStop(processSource().url("PMAuthRedirectUrl"));
    return value;
}

const std::string& Env::authRedirectURLText()
{
    static const std::string value = [] {
        valueOrStop(processSource().url("PMAuthRedirectUrl"));
        return valueOrStop(processSource().string("PMAuthRedirectUrl"));
    }();
    return value;
}

const std::string& Env::bundleIdentifier()
{
    static const std::string value = processSource().bundleIdentifier();
    return value;
}

const std::optional<std::filesystem::path>& Env::extraCaFile()
{
    static const std::optional<std::filesystem::path> value = processSource().extraCaFile();
    return value;
}

const std::string& Env::updateFeedURL()
{
    static const std::string value = processSource().string("PMUpdateFeedUrl").value_or(std::string());
    return value;
}

} // namespace parlomatic::app
