// Code page, libraries, the lock and the local time.
#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/platform.h"
#include "test_support.h"

namespace lumaro {
namespace {

TEST(CodePage, ForcedByTheEnvironmentWhenItIsANumber) {
    const std::pair<const char*, std::optional<uint32_t>> Cases[] = {
        {"1250", 1250}, {"65001", 65001}, {"12a", std::nullopt}, {"-1250", std::nullopt},
        {"0x4E2", std::nullopt}, {"", std::nullopt}, {"1234567890", std::nullopt}};
    for (const auto& [Value, Expected] : Cases) {
        testing::TScopedEnvironment Forced("LUMARO_CODEPAGE", Value);
        EXPECT_EQ(platform::ForcedCodePage(), Expected) << Value;
    }
    testing::TScopedEnvironment Unset("LUMARO_CODEPAGE", nullptr);
    EXPECT_EQ(platform::ForcedCodePage(), std::nullopt);
}

// Windows has an ANSI code page; on Linux the locale's codeset is no such thing
// (a service gets the C locale, an administrator's shell a UTF-8 one).
TEST(CodePage, OnlyWindowsHasASystemAnsiCodePage) {
#ifdef _WIN32
    EXPECT_EQ(platform::SystemAnsiCodePage(), GetACP());
#else
    for (const char* Locale : {"C", "C.UTF-8", "xx_XX.ISO-8859-2", "xx_XX.CP1251"}) {
        testing::TScopedEnvironment All("LC_ALL", Locale);
        EXPECT_EQ(platform::SystemAnsiCodePage(), std::nullopt) << Locale;
    }
#endif
}

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
