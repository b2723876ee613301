// Code page, libraries, the lock and the local time.
#include <gtest/gtest.h>

#include <ctime>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "test_support.h"

namespace lumaro {
namespace {

TEST(AnsiCodePage, ForcedByTheEnvironmentWhenItIsANumber) {
    {
        testing::TScopedEnvironment Forced("LUMARO_CODEPAGE", "1250");
        EXPECT_EQ(platform::AnsiCodePage(), 1250u);
    }
    uint32_t Natural = 0;
    {
        testing::TScopedEnvironment Unset("LUMARO_CODEPAGE", nullptr);
        Natural = platform::AnsiCodePage();
    }
    for (const char* NotANumber : {"", "12a", "-1250", "0x4E2", "1250 "}) {
        testing::TScopedEnvironment Forced("LUMARO_CODEPAGE", NotANumber);
        EXPECT_EQ(platform::AnsiCodePage(), Natural) << '"' << NotANumber << '"';
    }
}

#ifndef _WIN32
TEST(AnsiCodePage, FollowsTheLocalesCodeset) {
    testing::TScopedEnvironment Unset("LUMARO_CODEPAGE", nullptr);
    // "xx_XX" is installed nowhere, so its codeset is read from the name itself.
    const std::pair<const char*, uint32_t> Cases[] = {
        {"C", 20127},
        {"POSIX", 20127},
        {"C.UTF-8", 65001},
        {"xx_XX.UTF-8", 65001},
        {"xx_XX.utf8@euro", 65001},
        {"xx_XX.ISO-8859-2", 28592},
        {"xx_XX.ISO8859-15", 28605},
        {"xx_XX.CP1251", 1251},
        {"xx_XX.WINDOWS-1250", 1250},
        {"xx_XX.KOI8-R", 20866},
        {"xx_XX", 20127},
        {"xx_XX.EUC-JP", 20127},
    };
    for (const auto& [Locale, Expected] : Cases) {
        testing::TScopedEnvironment All("LC_ALL", Locale);
        EXPECT_EQ(platform::AnsiCodePage(), Expected) << Locale;
    }
}
#endif

#ifdef _WIN32
const char* const SystemLibrary = "kernel32.dll";
const char* const SystemSymbol = "GetACP";
#else
const char* const SystemLibrary = "libc.so.6";
const char* const SystemSymbol = "strlen";
#endif

TEST(Library, LoadsResolvesAndReleases) {
    platform::TLibrary L;
    EXPECT_FALSE(L.Load("lumaro-no-such-library-here"));
    EXPECT_EQ(L.Symbol(SystemSymbol), nullptr);
    ASSERT_TRUE(L.Load(SystemLibrary));
    EXPECT_NE(L.Symbol(SystemSymbol), nullptr);
    EXPECT_EQ(L.Symbol("lumaro_no_such_symbol"), nullptr);
    L.Release();
    EXPECT_FALSE(L.Loaded());
}

TEST(Lock, SerialisesThreads) {
    platform::TLock Lock;
    long Counter = 0;
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T)
        Threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                platform::TLockGuard Guard(Lock);
                Counter = Counter + 1;
            }
        });
    for (auto& T : Threads) T.join();
    EXPECT_EQ(Counter, 80000);
}

TEST(LocalTime, AgreesWithTheCalendar) {
    const platform::TLocalTime T = platform::LocalTime();
    const std::time_t Now = std::time(nullptr);
    const std::tm* C = std::localtime(&Now);
    ASSERT_NE(C, nullptr);
    EXPECT_EQ(T.Year, C->tm_year + 1900);
    EXPECT_EQ(T.Month, C->tm_mon + 1);
    EXPECT_EQ(T.Day, C->tm_mday);
    EXPECT_EQ(T.Hour, C->tm_hour);
}

}  // namespace
}  // namespace lumaro
