// Whole-file reading and writing, appending, and replacing a file in one step.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "test_support.h"

namespace lumaro {
namespace {

using platform::TReplaceFault;
using testing::ErrorOf;

const std::string Original = std::string("Subject: old\r\n\r\nbody\0with NUL\r\n", 32);
const std::string Replacement = "Subject: new\r\n\r\na longer body than before\r\n";

TEST(ReadWholeFile, MissingFileNamesThePath) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    EXPECT_EQ(ErrorOf([&] { platform::ReadWholeFile(Path); }), "Cannot open file " + Path);
}

TEST(WriteWholeFile, EmptiesAnExistingFileAndKeepsEveryByte) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("f");
    platform::WriteWholeFile(Path, Replacement);
    platform::WriteWholeFile(Path, Original);
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
    platform::WriteWholeFile(Path, "");
    EXPECT_EQ(platform::ReadWholeFile(Path), "");
    EXPECT_TRUE(platform::FileExists(Path));
}

TEST(FileErrors, MissingFolderGivesTheOperationsMessage) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("no-such-folder") + platform::PathSeparator() + "f";
    EXPECT_EQ(ErrorOf([&] { platform::WriteWholeFile(Path, "x"); }), "Cannot create file " + Path);
    EXPECT_EQ(ErrorOf([&] { platform::AppendToFile(Path, "x"); }), "Cannot open file " + Path);
    EXPECT_EQ(ErrorOf([&] { platform::ReplaceFile(Path, "x"); }), "Cannot create file " + Path);
    EXPECT_FALSE(platform::FileExists(Path));
}

TEST(AppendToFile, CreatesThenAppends) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("activity.log");
    EXPECT_FALSE(platform::FileExists(Path));
    platform::AppendToFile(Path, "first\r\n");
    EXPECT_EQ(platform::ReadWholeFile(Path), "first\r\n");
    platform::AppendToFile(Path, "second\r\n");
    EXPECT_EQ(platform::ReadWholeFile(Path), "first\r\nsecond\r\n");
}

TEST(FileExists, FolderIsNotAFile) {
    testing::TScratchFolder Folder;
    std::filesystem::create_directory(Folder.Path("sub"));
    EXPECT_FALSE(platform::FileExists(Folder.Path("sub")));
    EXPECT_FALSE(platform::FileExists(Folder.Path("none")));
}

TEST(ReplaceFile, NewContentTakesThePlaceAndNothingElseRemains) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    platform::WriteWholeFile(Path, Original);
    platform::ReplaceFile(Path, Replacement);
    EXPECT_EQ(platform::ReadWholeFile(Path), Replacement);
    platform::ReplaceFile(Path, Original);
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});
}

class ReplaceFault : public ::testing::TestWithParam<TReplaceFault> {};

TEST_P(ReplaceFault, OriginalKeepsItsBytesAndNoTemporaryRemains) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    platform::WriteWholeFile(Path, Original);
    platform::InjectReplaceFault(GetParam());
    EXPECT_EQ(ErrorOf([&] { platform::ReplaceFile(Path, Replacement); }),
              "Cannot create file " + Path);
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});
    // A fault strikes one replacement only.
    platform::ReplaceFile(Path, Replacement);
    EXPECT_EQ(platform::ReadWholeFile(Path), Replacement);
}

INSTANTIATE_TEST_SUITE_P(EachStep, ReplaceFault,
                         ::testing::Values(TReplaceFault::CreateTemporary,
                                           TReplaceFault::WriteHalfway,
                                           TReplaceFault::FinalReplace));

TEST(ReplaceFile, FailingRealReplaceLeavesNoTemporary) {
    // A folder in the file's place cannot be replaced by a file.
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    std::filesystem::create_directory(Path);
    platform::WriteWholeFile(Path + platform::PathSeparator() + "inside", "x");
    EXPECT_EQ(ErrorOf([&] { platform::ReplaceFile(Path, Replacement); }),
              "Cannot create file " + Path);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});
    EXPECT_TRUE(std::filesystem::is_directory(Path));
}

#ifndef _WIN32
TEST(ReplaceFile, KeepsThePermissions) {
    namespace fs = std::filesystem;
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    for (fs::perms Mode : {fs::perms(0640), fs::perms(0604), fs::perms(0600)}) {
        platform::WriteWholeFile(Path, Original);
        fs::permissions(Path, Mode);
        platform::ReplaceFile(Path, Replacement);
        EXPECT_EQ(fs::status(Path).permissions() & fs::perms::mask, Mode);
    }
}
#endif

}  // namespace
}  // namespace lumaro
