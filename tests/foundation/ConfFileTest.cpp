#include "common/ConfFile.h"

#include <gtest/gtest.h>

namespace parlomatic {
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
}

TEST(ConfFile, MissingFileIsNothing)
{
    EXPECT_FALSE(ConfFile::load("/nonexistent/parlomatic/Info.conf").has_value());
}

} // namespace
} // namespace parlomatic
