// Whole-file reading and writing, appending, and replacing a file in one step.
#include <gtest/gtest.h>

#include <filesystem>
#include <new>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/platform.h"
#include "test_support.h"

namespace lumaro {
namespace {

using platform::TReplaceFault;
using testing::ErrorOf;
using testing::IsFileError;

const std::string Original("Subject: old\r\n\r\nbody\0with NUL\r\n", 32);
const std::string Replacement = "Subject: new\r\n\r\na longer body than before\r\n";

TEST(Files, WriteReadAndAppend) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("f");
    EXPECT_TRUE(IsFileError(ErrorOf([&] { platform::ReadWholeFile(Path); }), "Cannot open file " + Path));
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
    EXPECT_TRUE(IsFileError(ErrorOf([&] { platform::WriteWholeFile(Path, "x"); }), "Cannot create file " + Path));
    EXPECT_TRUE(IsFileError(ErrorOf([&] { platform::AppendToFile(Path, "x"); }), "Cannot open file " + Path));
    EXPECT_TRUE(IsFileError(ErrorOf([&] { platform::ReplaceFile(Path, "x"); }), "Cannot create file " + Path));
}

class ReplaceFault : public ::testing::TestWithParam<TReplaceFault> {};

TEST_P(ReplaceFault, OriginalKeepsItsBytesAndNoTemporaryRemains) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    platform::WriteWholeFile(Path, Original);
    platform::InjectReplaceFault(GetParam());
    const bool Faulty = GetParam() != TReplaceFault::None;
    const std::string Error = ErrorOf([&] { platform::ReplaceFile(Path, Replacement); });
    EXPECT_TRUE(Faulty ? IsFileError(Error, "Cannot create file " + Path, false) : Error.empty()) << Error;
    EXPECT_EQ(platform::ReadWholeFile(Path), Faulty ? Original : Replacement);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});
    // A fault strikes one replacement only.
    platform::ReplaceFile(Path, Original);
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
}

INSTANTIATE_TEST_SUITE_P(EachStep, ReplaceFault,
                         ::testing::Values(TReplaceFault::None, TReplaceFault::CreateTemporary,
                                           TReplaceFault::WriteHalfway, TReplaceFault::FinalReplace));

TEST(ReplaceFileWith, PiecesArriveInOrderAndAFailingProducerKeepsTheOriginal) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    platform::WriteWholeFile(Path, Original);
    platform::ReplaceFileWith(Path, [](const platform::TContentWriter& Write) {
        Write("Subject: new\r\n");
        Write("");
        Write(std::string_view("\r\n\0tail", 7));
    });
    EXPECT_EQ(platform::ReadWholeFile(Path), std::string("Subject: new\r\n\r\n\0tail", 21));

    // A producer that gives up half way, with its own error, leaves the file as it was.
    platform::WriteWholeFile(Path, Original);
    EXPECT_THROW(platform::ReplaceFileWith(Path,
                                           [](const platform::TContentWriter& Write) {
                                               Write("Subject: half");
                                               throw std::bad_alloc();
                                           }),
                 std::bad_alloc);
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});

    // A write that fails half way through the pieces fails the replacement.
    platform::InjectReplaceFault(TReplaceFault::WriteHalfway);
    EXPECT_TRUE(IsFileError(ErrorOf([&] {
                                platform::ReplaceFileWith(Path, [](const platform::TContentWriter& Write) {
                                    Write("one");
                                    Write("two");
                                });
                            }),
                            "Cannot create file " + Path, false));
    EXPECT_EQ(platform::ReadWholeFile(Path), Original);
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"JOB.QDF"});
}

TEST(AdviseLargeBuffer, AnyBufferIsAcceptedAndKeepsItsBytes) {
    platform::AdviseLargeBuffer(nullptr, 0);
    platform::AdviseLargeBuffer(nullptr, 64u << 20);
    std::string Small = "abc";
    platform::AdviseLargeBuffer(Small.data(), Small.size());
    std::string Large(9u << 20, 'x');
    Large[5u << 20] = 'y';
    platform::AdviseLargeBuffer(Large.data() + 1, Large.size() - 1);
    EXPECT_EQ(Small, "abc");
    EXPECT_EQ(Large[5u << 20], 'y');
    EXPECT_EQ(Large[(5u << 20) + 1], 'x');
}

TEST(ReplaceFile, FailingRealReplaceLeavesNoTemporary) {
    // A folder in the file's place cannot be replaced by a file.
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    std::filesystem::create_directory(Path);
    EXPECT_TRUE(IsFileError(ErrorOf([&] { platform::ReplaceFile(Path, Replacement); }), "Cannot create file " + Path));
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
