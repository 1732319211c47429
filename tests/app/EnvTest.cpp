#include "app/Env.h"

#include "common/ConfFile.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace parlomatic::app {
namespace {

TEST(ConfFile, KeysValuesCommentsAndQuotes)
{
    const auto file = ConfFile::parse("# comment\n"
                                      "; another\n"
                                      "[General]\n"
                                      "PMAPIDomain = api.example.com:8443/prefix\r\n"
                                      "Scope=openid  profile\n"
                                      "Quoted = \" spaced \"\n"
                                      "Empty =\n"
                                      "no equals sign\n"
                                      "Repeated = 1\n"
                                      "Repeated = 2");
    EXPECT_EQ(file.value("PMAPIDomain"), "api.example.com:8443/prefix");
    EXPECT_EQ(file.value("Scope"), "openid  profile");
    EXPECT_EQ(file.value("Quoted"), " spaced ");
    EXPECT_EQ(file.value("Empty"), "");
    EXPECT_EQ(file.value("Repeated"), "2");
    EXPECT_FALSE(file.value("no equals sign").has_value());
    EXPECT_FALSE(file.value("pmapidomain").has_value());
    EXPECT_FALSE(ConfFile::load("/nonexistent/parlomatic/Info.conf").has_value());
}

class EnvTest : public ::testing::Test {
protected:
    std::filesystem::path dir() const { return m_dir.path().toStdString(); }

    void writeInfo(std::string_view text) const { std::ofstream(dir() / "Info.conf") << text; }

    QTemporaryDir m_dir;
};

// The bundle identifier is the compiled one without the file or its key. The process's values are
// read once and cached.
TEST_F(EnvTest, ReadsValuesUnchangedAndTheProcessCachesThem)
{
    EXPECT_EQ(EnvSource(dir()).bundleIdentifier(), compiledBundleIdentifier);
    writeInfo("PMAPIDomain = x\n");
    EXPECT_EQ(EnvSource(dir()).bundleIdentifier(), compiledBundleIdentifier);

    writeInfo("PMAPIDomain = api.example.com:8443\n"
              "PMAuthScope = openid offline_access\n"
              "PMAuthRedirectUrl = http://127.0.0.1:0/callback\n"
              "BundleIdentifier = com.example.parlomatic\n");
    const EnvSource source(dir());
    EXPECT_EQ(source.string("PMAPIDomain"), "api.example.com:8443");
    EXPECT_EQ(source.string("PMAuthScope"), "openid offline_access");
    EXPECT_EQ(source.url("PMAuthRedirectUrl")->toString(), "http://127.0.0.1:0/callback");
    EXPECT_EQ(source.bundleIdentifier(), "com.example.parlomatic");

    writeInfo("PMAPIDomain = first.example\n");
    setBundleDirectory(dir());
    EXPECT_EQ(Env::apiDomain(), "first.example");
    writeInfo("PMAPIDomain = second.example\n");
    EXPECT_EQ(Env::apiDomain(), "first.example");
}

TEST_F(EnvTest, UnparsableRedirectIsAnErrorAndTheExtraCaFileIsFoundOrNone)
{
    for (const char* redirect : {"", "not a url", "http://exa mple.com/cb", "://nothing"}) {
        writeInfo(std::string("PMAuthRedirectUrl = ") + redirect + "\n");
        const auto url = EnvSource(dir()).url("PMAuthRedirectUrl");
        ASSERT_FALSE(url.has_value()) << redirect;
        EXPECT_NE(url.error().message().find("PMAuthRedirectUrl"), std::string::npos);
    }

    // The extra CA file is relative to the data folder, and only there when it exists.
    const auto data = dir() / "data";
    std::filesystem::create_directories(data / "parlomatic/tls");
    std::ofstream(data / "parlomatic/tls/ca.pem") << "-----BEGIN CERTIFICATE-----\n";
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(data.string()));
    const std::pair<std::string, std::optional<std::filesystem::path>> cases[] = {
        {"PMExtraCAFile = parlomatic/tls/ca.pem\n", data / "parlomatic/tls/ca.pem"},
        {"PMExtraCAFile = " + (data / "parlomatic/tls/ca.pem").string() + "\n", data / "parlomatic/tls/ca.pem"},
        {"PMExtraCAFile = parlomatic/tls/missing.pem\n", std::nullopt},
        {"PMExtraCAFile =\n", std::nullopt},
        {"PMAPIDomain = x\n", std::nullopt},
    };
    for (const auto& [line, expected] : cases) {
        writeInfo(line);
        EXPECT_EQ(EnvSource(dir()).extraCaFile(), expected) << line;
    }
    qunsetenv("XDG_DATA_HOME");
}

using EnvDeathTest = EnvTest;

TEST_F(EnvDeathTest, MissingValueStopsTheProgramWithOneLine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    writeInfo("PMAPIDomain = api.example.com\n");
    // A fresh process, where the process-wide values are still unread. Exit handlers must not run
    // while other threads may still use what they destroy: this one would change the status.
    EXPECT_EXIT(
        {
            setBundleDirectory(dir());
            std::atexit([] { std::_Exit(99); });
            (void)Env::authScope();
        },
        ::testing::ExitedWithCode(78),
        "^parlomatic: configuration error: .*/Info.conf: key \"PMAuthScope\" is missing\n$");
}

} // namespace
} // namespace parlomatic::app
