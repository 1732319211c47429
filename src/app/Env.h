#pragma once

#include <QUrl>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace parlomatic::app {

// A deployment value that is missing or unusable, named by its file and key.
struct ConfigError {
    std::filesystem::path file;
    std::string key;
    std::string reason;

    // One line: "<file>: key \"<key>\" <reason>".
    std::string message() const;
};

// Reads deployment values from Info.conf in a bundle folder. No value has a default except the
// bundle identifier; nothing is cached here.
class EnvSource {
public:
    explicit EnvSource(std::filesystem::path bundleDirectory);

    std::expected<std::string, ConfigError> string(const std::string& key) const;
    std::expected<QUrl, ConfigError> url(const std::string& key) const;
    // "BundleIdentifier", or the compiled-in identifier when the bundle has none.
    std::string bundleIdentifier() const;
    // "PMExtraCAFile": a PEM file of CA certificates trusted besides the system's (the development
    // CA of the local services). A relative path is taken from the XDG data folder ($XDG_DATA_HOME,
    // else ~/.local/share). Absent when the key is missing or empty or the file does not exist, so
    // a configuration made for the local services still reaches a deployment's own services.
    std::optional<std::filesystem::path> extraCaFile() const;

    std::filesystem::path infoFile() const;

private:
    std::filesystem::path m_directory;
};

inline constexpr const char* compiledBundleIdentifier = "app.parlomatic.Parlomatic";

// The process-wide deployment values, each read once on first use (concurrent first calls read
// once and agree) and cached for the life of the process. A missing or unusable value stops the
// program at its first use with a one-line diagnostic on stderr naming the file and the key.
class Env {
public:
    static const std::string& apiDomain();
    static const std::string& authAudience();
    static const std::string& authScope();
    static const QUrl& authRedirectURL();
    // The redirect URL exactly as written in Info.conf (checked like authRedirectURL()): the identity
    // service compares "redirect_uri" byte for byte, and QUrl normalises.
    static const std::string& authRedirectURLText();
    static const std::string& bundleIdentifier();
    // The optional update feed; empty when the bundle has none.
    static const std::string& updateFeedURL();
    // The optional extra CA file for the shared HTTP client (EnvSource::extraCaFile).
    static const std::optional<std::filesystem::path>& extraCaFile();
};

} // namespace parlomatic::app
