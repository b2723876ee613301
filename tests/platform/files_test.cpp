// Whole-file reading and writing, appending, and replacing a file in one step.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
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

// Other programs may rename the file while it is open; what follows goes on to it.
TEST(Files, AnAppendFileWritesAtOnceAndFollowsARename) {
    testing::TScratchFolder Folder;
    platform::TAppendFile File(Folder.Path("log"));
    File.Append("first\r\n");
    EXPECT_EQ(platform::ReadWholeFile(Folder.Path("log")), "first\r\n");
    std::filesystem::rename(Folder.Path("log"), Folder.Path("old"));
    File.Append("second\r\n");
    File.Close();
    EXPECT_EQ(platform::ReadWholeFile(Folder.Path("old")), "first\r\nsecond\r\n");
    EXPECT_EQ(Folder.Names(), std::set<std::string>{"old"});
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

// What another program may do to a file while a job works on it.
enum class TChange { None, Appended, Truncated, RewrittenInPlace, Replaced, Deleted };

const std::string Theirs = "Subject: theirs\r\n\r\n";

// Makes the change; false when the system refused it, as Windows refuses to delete
// or rename a file that is open without sharing its deletion.
bool MakeChange(TChange Change, const std::string& Path) {
    namespace fs = std::filesystem;
    std::error_code Error;
    switch (Change) {
        case TChange::None: return false;
        case TChange::Appended: platform::AppendToFile(Path, Theirs); return true;
        case TChange::Truncated: fs::resize_file(Path, 7, Error); return !Error;
        case TChange::RewrittenInPlace: {
            std::fstream File(Path, std::ios::in | std::ios::out | std::ios::binary);
            File.write("Subject: odd", 12);
            return File.good();
        }
        case TChange::Replaced:
            platform::WriteWholeFile(Path + ".new", Theirs);
            fs::rename(Path + ".new", Path, Error);
            if (Error) fs::remove(Path + ".new");
            return !Error;
        case TChange::Deleted: return fs::remove(Path, Error);
    }
    return false;
}

class ChangeDuringTheJob : public ::testing::TestWithParam<TChange> {};

TEST_P(ChangeDuringTheJob, TheChangeStaysAndTheReplacementIsRefused) {
    namespace fs = std::filesystem;
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    platform::WriteWholeFile(Path, Original);
    // A rewrite of the same size shows only in the time of the last write.
    fs::last_write_time(Path, fs::last_write_time(Path) - std::chrono::hours(1));
    platform::TLoadedFile Loaded(Path);
    EXPECT_EQ(Loaded.TakeContent(), Original);

    const auto Content = [&Path] { return fs::exists(Path) ? platform::ReadWholeFile(Path) : "(none)"; };
    const bool Changed = MakeChange(GetParam(), Path);
    const std::string After = Changed ? Content() : Replacement;
    EXPECT_EQ(ErrorOf([&] { Loaded.ReplaceWith([](const platform::TContentWriter& Write) { Write(Replacement); }); }),
              Changed ? "File " + Path + " was changed by another program since it was read; it was left as it is"
                      : "");
    EXPECT_EQ(Content(), After);
    EXPECT_EQ(Folder.Names(), fs::exists(Path) ? std::set<std::string>{"JOB.QDF"} : std::set<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(EachChange, ChangeDuringTheJob,
                         ::testing::Values(TChange::None, TChange::Appended, TChange::Truncated,
                                           TChange::RewrittenInPlace, TChange::Replaced, TChange::Deleted));

TEST(RemoveLeftoverTemporaries, RemovesThoseNoReplacementHoldsAndNothingElse) {
    namespace fs = std::filesystem;
    testing::TScratchFolder Folder;
    std::set<std::string> Kept{"JOB.QDF", "JOB.QDF.lumaro-tmp", "JOB.QDF.lumaro-tmp.12x", ".lumaro-tmp.5",
                               "notes.lumaro-tmp.txt"};
    for (const std::string& Name : Kept) platform::WriteWholeFile(Folder.Path(Name), Original);
    fs::create_directory(Folder.Path("DIR.QDF.lumaro-tmp.7"));
    Kept.insert("DIR.QDF.lumaro-tmp.7");
    for (const char* Name : {"JOB.QDF.lumaro-tmp.4242", "OTHER.QDF.lumaro-tmp.1"})
        platform::WriteWholeFile(Folder.Path(Name), Original);

    // A replacement still under way looks for leftovers half way through its
    // writing: its own temporary file stays, and it still takes the file's place.
    std::set<std::string> Midway;
    platform::ReplaceFileWith(Folder.Path("JOB.QDF"), [&](const platform::TContentWriter& Write) {
        Write(Replacement.substr(0, 10));
        platform::RemoveLeftoverTemporaries(Folder.Path("."));
        Midway = Folder.Names();
        Write(Replacement.substr(10));
    });
    std::set<std::string> Running;
    std::set_difference(Midway.begin(), Midway.end(), Kept.begin(), Kept.end(),
                        std::inserter(Running, Running.begin()));
    ASSERT_EQ(Running.size(), 1u) << ::testing::PrintToString(Running);
    EXPECT_EQ(Running.begin()->rfind("JOB.QDF.lumaro-tmp.", 0), 0u);
    EXPECT_EQ(Folder.Names(), Kept);
    EXPECT_EQ(platform::ReadWholeFile(Folder.Path("JOB.QDF")), Replacement);
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
// Whether the file was read by the job or not, which takes the attributes from
// the handle or by the file's name.
TEST(ReplaceFile, KeepsTheAttributes) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("JOB.QDF");
    for (bool Loaded : {false, true}) {
        platform::WriteWholeFile(Path, Original);
        ASSERT_TRUE(SetFileAttributesA(Path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
        if (Loaded) {
            platform::TLoadedFile File(Path);
            File.ReplaceWith([](const platform::TContentWriter& Write) { Write(Replacement); });
        } else {
            platform::ReplaceFile(Path, Replacement);
        }
        EXPECT_EQ(platform::ReadWholeFile(Path), Replacement);
        EXPECT_TRUE(GetFileAttributesA(Path.c_str()) & FILE_ATTRIBUTE_HIDDEN) << Loaded;
        SetFileAttributesA(Path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}
#endif

}  // namespace
}  // namespace lumaro
