// Loading and saving line lists: what a message file looks like after a round trip.
#include <gtest/gtest.h>

#include "mystrlist/mystrlist.h"
#include "platform/test_support.h"

namespace lumaro {
namespace {

struct TRoundTrip {
    const char* Name;
    std::string Before, After;
};

const TRoundTrip RoundTrips[] = {
    {"CR LF kept byte for byte", "From: a\r\nSubject: b\r\n\r\nbody\r\n",
     "From: a\r\nSubject: b\r\n\r\nbody\r\n"},
    {"bare LF", "From: a\n\nbody\n", "From: a\r\n\r\nbody\r\n"},
    {"CR CR LF", "From: a\r\r\n\r\r\nbody\r\r\n", "From: a\r\n\r\nbody\r\n"},
    {"CR only: its empty lines stay", "From: a\r\rbody\r\r\rend\r", "From: a\r\n\r\nbody\r\n\r\n\r\nend\r\n"},
    {"last line without break", "From: a\r\n\r\nbody", "From: a\r\n\r\nbody\r\n"},
    {"empty file", "", ""},
    {"only CR LF", "\r\n", "\r\n"},
    {"NUL bytes and the tail after them", std::string("A: \0x\r\n\r\nb\0dy\0\r\ntail\r\n", 22),
     std::string("A: \0x\r\n\r\nb\0dy\0\r\ntail\r\n", 22)},
};

TEST(LineListFile, RoundTrips) {
    testing::TScratchFolder Folder;
    const std::string In = Folder.Path("in.QDF"), Out = Folder.Path("out.QDF");
    for (const auto& C : RoundTrips) {
        platform::WriteWholeFile(In, C.Before);
        TMyStringList L;
        L.LoadFromFile(In);
        L.SaveToFile(Out);
        EXPECT_EQ(platform::ReadWholeFile(Out), C.After) << C.Name;
    }
}

TEST(LineListFile, MissingFileLeavesTheListUnchanged) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("missing.QDF");
    TMyStringList L;
    L.SetText("kept");
    EXPECT_TRUE(testing::IsFileError(testing::ErrorOf([&] { L.LoadFromFile(Path); }), "Cannot open file " + Path));
    EXPECT_EQ(L.Strings(), std::vector<std::string>{"kept"});
}

TEST(LineListFile, UnwritablePathNamesTheFile) {
    testing::TScratchFolder Folder;
    const std::string Path = Folder.Path("none") + platform::PathSeparator() + "x.QDF";
    TMyStringList L;
    L.Add("x");
    EXPECT_TRUE(testing::IsFileError(testing::ErrorOf([&] { L.SaveToFile(Path); }), "Cannot create file " + Path));
}

}  // namespace
}  // namespace lumaro
