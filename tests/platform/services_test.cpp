// Code page, libraries, the lock and the local time.
#include <gtest/gtest.h>

#include <ctime>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace lumaro {
namespace {

TEST(AnsiCodePage, ForcedByTheEnvironmentWhenItIsANumber) {
    uint32_t Natural = 0;
    {
        testing::TScopedEnvironment Unset("LUMARO_CODEPAGE", nullptr);
        Natural = platform::AnsiCodePage();
    }
    const std::pair<const char*, uint32_t> Cases[] = {
        {"1250", 1250}, {"65001", 65001}, {"12a", Natural}, {"-1250", Natural}, {"0x4E2", Natural}};
    for (const auto& [Value, Expected] : Cases) {
        testing::TScopedEnvironment Forced("LUMARO_CODEPAGE", Value);
        EXPECT_EQ(platform::AnsiCodePage(), Expected) << Value;
    }
}

#ifndef _WIN32
TEST(AnsiCodePage, FollowsTheLocalesCodeset) {
    testing::TScopedEnvironment Unset("LUMARO_CODEPAGE", nullptr);
    // "xx_XX" is installed nowhere, so its codeset is read from the name itself.
    const std::pair<const char*, uint32_t> Cases[] = {
        {"C", 20127},           {"POSIX", 20127},        {"C.UTF-8", 65001},
        {"xx_XX.utf8@euro", 65001}, {"xx_XX.ISO-8859-2", 28592}, {"xx_XX.ISO8859-15", 28605},
        {"xx_XX.CP1251", 1251}, {"xx_XX.WINDOWS-1250", 1250}, {"xx_XX.KOI8-R", 20866},
        {"xx_XX", 20127},       {"xx_XX.EUC-JP", 20127},
    };
    for (const auto& [Locale, Expected] : Cases) {
        testing::TScopedEnvironment All("LC_ALL", Locale);
        EXPECT_EQ(platform::AnsiCodePage(), Expected) << Locale;
    }
}
#endif

TEST(Library, LoadsResolvesAndReleases) {
#ifdef _WIN32
    const char *Name = "kernel32.dll", *Symbol = "GetACP";
#else
    const char *Name = "libc.so.6", *Symbol = "strlen";
#endif
    platform::TLibrary L;
    EXPECT_FALSE(L.Load("lumaro-no-such-library-here"));
    ASSERT_TRUE(L.Load(Name));
    EXPECT_NE(L.Symbol(Symbol), nullptr);
    EXPECT_EQ(L.Symbol("lumaro_no_such_symbol"), nullptr);
    L.Release();
    EXPECT_EQ(L.Symbol(Symbol), nullptr);
}

TEST(LocalTime, AgreesWithTheCalendar) {
    const platform::TLocalTime T = platform::LocalTime();
    const std::time_t Now = std::time(nullptr);
    const std::tm C = *std::localtime(&Now);
    EXPECT_EQ(std::vector<int>({T.Year, T.Month, T.Day, T.Hour}),
              std::vector<int>({C.tm_year + 1900, C.tm_mon + 1, C.tm_mday, C.tm_hour}));
}

}  // namespace
}  // namespace lumaro
