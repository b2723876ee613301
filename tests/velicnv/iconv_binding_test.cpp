// The iconv binding: behaviour without a library, loading by choice, and what
// the C library's iconv gives through the wrappers (skipped where there is none).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "velicnv/velicnv.h"

#ifndef _WIN32
#include <dlfcn.h>
#include <gnu/libc-version.h>
#include <unistd.h>
#endif

namespace lumaro {
namespace {

class NoLibrary : public ::testing::Test {
protected:
    void SetUp() override { SetIconvChoice(std::string("none")); }
    void TearDown() override { SetIconvChoice(std::nullopt); }
};

TEST_F(NoLibrary, EveryOperationAnswersThatTheLibraryCannotServe) {
    EXPECT_FALSE(LoadIconvLibrary());
    EXPECT_FALSE(IconvLibraryLoaded());
    EXPECT_EQ(OpenConverter("ISO-8859-2", "UTF-8"), NoIconvDescriptor);
    EXPECT_EQ(OpenConverterTranslit("ISO-8859-2", "UTF-8"), NoIconvDescriptor);
    EXPECT_EQ(OpenConverterIgnore("ISO-8859-2", "UTF-8"), NoIconvDescriptor);
    std::string Out = "stale";
    EXPECT_FALSE(RunConverter(1234, "abc", Out));
    EXPECT_EQ(Out, "");
    TIconvDescriptor D = 1234;
    EXPECT_EQ(CloseConverter(D), -1);
    EXPECT_EQ(D, NoIconvDescriptor);
}

TEST(IconvBinding, ClosingNoDescriptorNeitherLoadsNorFails) {
    UnloadIconvLibrary();
    TIconvDescriptor D = NoIconvDescriptor;
    EXPECT_EQ(CloseConverter(D), 0);
    EXPECT_FALSE(IconvLibraryLoaded());
}

#ifndef _WIN32
// The C library's own file, found by a function that no sanitizer replaces.
std::string CLibraryFile() {
    Dl_info Info{};
    EXPECT_NE(dladdr(reinterpret_cast<void*>(&gnu_get_libc_version), &Info), 0);
    return Info.dli_fname;
}

// A name of its own for each test: the loader knows a name it once loaded even
// after the file is gone.
std::string AbsentLibraryFile(const char* Name) {
    const std::string File = ::testing::TempDir() + "lumaro-iconv-" + Name + "-" + std::to_string(getpid()) + ".so";
    std::remove(File.c_str());
    return File;
}

TEST_F(NoLibrary, AnAbsentLibraryIsLookedForAgainOnEveryCall) {
    const std::string File = AbsentLibraryFile("again");
    SetIconvChoice(File);
    EXPECT_FALSE(LoadIconvLibrary());
    EXPECT_EQ(OpenConverter("UTF-8", "ISO-8859-1"), NoIconvDescriptor);
    ASSERT_EQ(symlink(CLibraryFile().c_str(), File.c_str()), 0);
    TIconvDescriptor D = OpenConverter("UTF-8", "ISO-8859-1");
    EXPECT_NE(D, NoIconvDescriptor);
    EXPECT_TRUE(IconvLibraryLoaded());
    EXPECT_EQ(CloseConverter(D), 0);
    std::remove(File.c_str());
}

// A job looks for an absent library once; the next job finds one put in place.
TEST_F(NoLibrary, AnAbsentLibraryIsLookedForOnceWhileAMemoLives) {
    const std::string File = AbsentLibraryFile("memo");
    SetIconvChoice(File);
    {
        const TIconvAbsenceMemo Job;
        EXPECT_FALSE(LoadIconvLibrary());
        ASSERT_EQ(symlink(CLibraryFile().c_str(), File.c_str()), 0);
        {
            const TIconvAbsenceMemo Nested;
            EXPECT_EQ(OpenConverter("UTF-8", "ISO-8859-1"), NoIconvDescriptor);
        }
        EXPECT_FALSE(LoadIconvLibrary()) << "the outer memo still remembers the absence";
    }
    TIconvDescriptor D = OpenConverter("UTF-8", "ISO-8859-1");
    EXPECT_NE(D, NoIconvDescriptor);
    EXPECT_EQ(CloseConverter(D), 0);
    std::remove(File.c_str());
}

// A job that begins within a minute of a search that found nothing takes its
// answer; the first job after that minute finds a library put in place.
TEST_F(NoLibrary, ASearchThatFoundNothingHoldsForAMinute) {
    const std::string File = AbsentLibraryFile("minute");
    SetIconvChoice(File);
    EXPECT_FALSE(LoadIconvLibrary());
    ASSERT_EQ(symlink(CLibraryFile().c_str(), File.c_str()), 0);
    {
        const TIconvAbsenceMemo Job;
        EXPECT_EQ(OpenConverter("UTF-8", "ISO-8859-1"), NoIconvDescriptor);
    }
    AgeIconvSearch(IconvSearchInterval);
    {
        const TIconvAbsenceMemo Job;
        TIconvDescriptor D = OpenConverter("UTF-8", "ISO-8859-1");
        EXPECT_NE(D, NoIconvDescriptor);
        EXPECT_EQ(CloseConverter(D), 0);
    }
    std::remove(File.c_str());
}
#endif

class WithLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        SetIconvChoice(std::nullopt);
        if (!LoadIconvLibrary()) GTEST_SKIP() << "no iconv library here";
    }

    // Runs Input through a fresh descriptor; Complete tells what RunConverter said.
    static std::string Run(TIconvDescriptor D, std::string_view Input, bool& Complete) {
        EXPECT_NE(D, NoIconvDescriptor);
        std::string Out;
        Complete = RunConverter(D, Input, Out);
        EXPECT_EQ(CloseConverter(D), 0);
        return Out;
    }
};

struct TRunCase {
    const char* Name;
    TIconvDescriptor (*Open)(const std::string&, const std::string&);
    const char* Target;
    const char* Source;
    std::string Input;
    std::string Expected;
    bool Complete;
};

TEST_F(WithLibrary, RunsConvertWholeInputsOrSayWhyNot) {
    const TRunCase Cases[] = {
        // The suffix goes straight after the target, and the target comes first.
        {"translit", OpenConverterTranslit, "ISO-8859-2", "UTF-8", "a\xE2\x82\xAC" "b", "aEURb", true},
        {"ignore drops", OpenConverterIgnore, "ISO-8859-2", "UTF-8", "a\xE2\x82\xAC" "b", "ab", true},
        // The C library reports an error after skipping; the run is still complete.
        {"ignore skips invalid", OpenConverterIgnore, "ISO-8859-1", "UTF-8", "a\xFF" "b\xC3\xA9", "ab\xE9", true},
        {"plain", OpenConverter, "UTF-8", "ISO-8859-2", "\xE8", "\xC4\x8D", true},
        {"empty", OpenConverter, "UTF-8", "ISO-8859-2", "", "", true},
        {"invalid input stops", OpenConverterTranslit, "ISO-8859-2", "UTF-8", "ab\xFF" "cd", "ab", false},
        {"incomplete input stops", OpenConverterTranslit, "ISO-8859-2", "UTF-8", "ab\xE2\x82", "ab", false},
    };
    for (const TRunCase& C : Cases) {
        bool Complete = false;
        EXPECT_EQ(Run(C.Open(C.Target, C.Source), C.Input, Complete), C.Expected) << C.Name;
        EXPECT_EQ(Complete, C.Complete) << C.Name;
    }
}

// What a caller learned of one loaded library must not be taken for the next one's.
TEST_F(WithLibrary, EveryLoadHasANumberOfItsOwn) {
    const uint32_t First = IconvLibraryGeneration();
    EXPECT_NE(First, 0u);
    EXPECT_EQ(IconvLibraryGeneration(), First);
    SetIconvChoice(std::string("none"));
    EXPECT_EQ(IconvLibraryGeneration(), 0u);
    SetIconvChoice(std::nullopt);
    const uint32_t Second = IconvLibraryGeneration();
    EXPECT_NE(Second, 0u);
    EXPECT_NE(Second, First);
}

TEST_F(WithLibrary, AnUnknownCharsetIsRefused) {
    EXPECT_EQ(OpenConverterIgnore("NO-SUCH-CHARSET", "UTF-8"), NoIconvDescriptor);
    EXPECT_EQ(OpenConverterIgnore("UTF-8", "CP-895"), NoIconvDescriptor);
}

TEST_F(WithLibrary, OutputRoomGrowsBeyondFourBytesPerInputByte) {
    // One Latin-1 byte "1/2" becomes five bytes " 1/2 " in ISO-8859-2.
    const std::string Input(1 << 20, '\xBD');
    bool Complete = false;
    const std::string Out = Run(OpenConverterTranslit("ISO-8859-2", "ISO-8859-1"), Input, Complete);
    EXPECT_TRUE(Complete);
    ASSERT_EQ(Out.size(), Input.size() * 5);
    EXPECT_EQ(Out.substr(0, 10), " 1/2  1/2 ");
    EXPECT_EQ(Out.substr(Out.size() - 5), " 1/2 ");
}

// The starting room is a guess only: too little or too much gives the same output.
TEST_F(WithLibrary, TheStartingRoomDoesNotChangeTheOutput) {
    std::string Mixed;
    for (int K = 0; K < 5000; ++K) Mixed += "ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const std::string Invalid = Mixed + "\xFF" + Mixed;
    const struct {
        const char* Target;
        std::string Input;
    } Cases[] = {{"UCS-4BE//IGNORE", Mixed}, {"ISO-8859-2//TRANSLIT", Mixed}, {"ISO-8859-2//TRANSLIT", Invalid},
                 {"UTF-16LE", Mixed}, {"ISO-2022-JP//TRANSLIT", Mixed + "\xE6\x97\xA5"}};
    for (const auto& C : Cases) {
        std::string Expected;
        TIconvDescriptor D = OpenConverter(C.Target, "UTF-8");
        const bool ExpectedComplete = RunConverter(D, C.Input, Expected);
        for (size_t Room : {size_t{0}, size_t{1}, size_t{300}, C.Input.size() / 3, C.Input.size() * 9}) {
            std::string Out = "stale";
            EXPECT_EQ(RunConverter(D, C.Input, Out, Room), ExpectedComplete) << C.Target << " " << Room;
            EXPECT_EQ(Out, Expected) << C.Target << " " << Room;
        }
        CloseConverter(D);
    }
}

TEST_F(WithLibrary, IgnoreRunsGoOnPastTheLibrarysInternalChunks) {
    std::string Input;
    for (int K = 0; K < 100000; ++K) Input += "x\xFF";
    bool Complete = false;
    EXPECT_EQ(Run(OpenConverterIgnore("ISO-8859-1", "UTF-8"), Input, Complete), std::string(100000, 'x'));
    EXPECT_TRUE(Complete);
}

TEST_F(WithLibrary, AStatefulTargetEndsInItsInitialState) {
    // Three kanji and nothing after them that would switch back by itself.
    const std::string Japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
    bool Complete = false;
    const std::string Out = Run(OpenConverterTranslit("ISO-2022-JP", "UTF-8"), Japanese, Complete);
    EXPECT_TRUE(Complete);
    ASSERT_GE(Out.size(), 3u);
    EXPECT_EQ(Out.substr(0, 3), "\x1B$B");
    EXPECT_EQ(Out.substr(Out.size() - 3), "\x1B(B");
}

TEST_F(WithLibrary, AReusedDescriptorStartsAfresh) {
    // A run that fails in the middle of kanji leaves its descriptor in the JIS shift state.
    bool Complete = true;
    Run(OpenConverterTranslit("ISO-2022-JP", "UTF-8"), "\xE6\x97\xA5\xFF", Complete);
    EXPECT_FALSE(Complete);
    for (int K = 0; K < 3; ++K) {
        EXPECT_EQ(Run(OpenConverterTranslit("ISO-2022-JP", "UTF-8"), "a", Complete), "a");
        EXPECT_TRUE(Complete);
    }
}

}  // namespace
}  // namespace lumaro
