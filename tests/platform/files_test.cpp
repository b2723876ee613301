// Whole-file reading and writing, appending, and replacing a file in one step.
#include <gtest/gtest.h>

#include <filesystem>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/platform.h"
#include "test_support.h"

namespace lumaro {
namespace {

using platform::TReplaceFault;
using testing::ErrorOf;

const std::string Original("Subject: old\r\n\r\nbody\0with NUL\r\n", 32);
const std::string Replacement = "Subject: new\r\n\r\na longer body than before\r\n";

TEST(Files, WriteReadAndAppend) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("f");
    EXPECT_EQ(ErrorOf([&] { platform::ReadWholeFile(Path); }), "Cannot open file " + Path);
    platform::AppendToFile(Path, "first\r\n");
    platform::AppendToFile(Path, "second\r\n");
    EXPECT_EQ(platform::ReadWholeFile(Path), "first\r\nsecond\r\n");
    platform::WriteWholeFile(Path, Original);
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
    EXPECT_TRUE(platform::FileExists(Path));
    EXPECT_FALSE(platform::FileExists(Folder.Path("")));
}

TEST(Files, MissingFolderGivesEachOperationsMessage) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("no-such-folder") + platform::PathSeparator() + "f";
    EXPECT_EQ(ErrorOf([&] { platform::WriteWholeFile(Path, "x"); }), "Cannot create file " + Path);
    EXPECT_EQ(ErrorOf([&] { platform::AppendToFile(Path, "x"); }), "Cannot open file " + Path);
    EXPECT_EQ(ErrorOf([&] { platform::ReplaceFile(Path, "x"); }), "Cannot create file " + Path);
}

class ReplaceFault : public ::testing::TestWithParam<TReplaceFault> {};

TEST_P(ReplaceFault, OriginalKeepsItsBytesAndNoTemporaryRemains) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    platform::WriteWholeFile(Path, Original);
    platform::InjectReplaceFault(GetParam());
    const bool Faulty = GetParam() != TReplaceFault::None;
    EXPECT_EQ(ErrorOf([&] { platform::ReplaceFile(Path, Replacement); }),
              Faulty ? "Cannot create file " + Path : "");
    EXPECT_EQ(platform::ReadWholeFile(Path), Faulty ? Original : Replacement);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});
    // A fault strikes one replacement only.
    platform::ReplaceFile(Path, Original);
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
}

INSTANTIATE_TEST_SUITE_P(EachStep, ReplaceFault,
                         ::testing::Values(TReplaceFault::None, TReplaceFault::CreateTemporary,
                                           TReplaceFault::WriteHalfway, TReplaceFault::FinalReplace));

TEST(ReplaceFile, FailingRealReplaceLeavesNoTemporary) {
    // A folder in the file's place cannot be replaced by a file.
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    std::filesystem::create_directory(Path);
    EXPECT_EQ(ErrorOf([&] { platform::ReplaceFile(Path, Replacement); }), "Cannot create file " + Path);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});
}

#ifndef _WIN32
TEST(ReplaceFile, KeepsThePermissions) {
    namespace fs = std::filesystem;
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    for (fs::perms Mode : {fs::perms(0640), fs::perms(0604)}) {
        platform::WriteWholeFile(Path, Original);
        fs::permissions(Path, Mode);
        platform::ReplaceFile(Path, Replacement);
        EXPECT_EQ(fs::status(Path).permissions() & fs::perms::mask, Mode);
    }
}
#else
TEST(ReplaceFile, KeepsTheAttributes) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    platform::WriteWholeFile(Path, Original);
    ASSERT_TRUE(SetFileAttributesA(Path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    platform::ReplaceFile(Path, Replacement);
    EXPECT_EQ(platform::ReadWholeFile(Path), Replacement);
    EXPECT_TRUE(GetFileAttributesA(Path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}
#endif

}  // namespace
}  // namespace lumaro
