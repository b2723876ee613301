#include <gtest/gtest.h>

#include "lumaro/lumaro.h"
#include "test_host.h"

namespace lumaro::test {
namespace {

TEST(ActivityLog, LineLayout) {
    const std::string S40(40, 's'), S41(41, 's'), T20(20, 't'), T21(21, 't');
    struct {
        std::string JobId, Sender, Text;
        int32_t Number;
        std::string Expected;
    } Cases[] = {
        {"J1", "a@b.cz", "subject", 0,
         "H 20261208 0930 J1 a@b.cz" + std::string(34, ' ') + " subject" + std::string(13, ' ') + " 0"},
        // Exactly as wide as the field: one separating space, no padding.
        {"J1", S40, T20, 0, "H 20261208 0930 J1 " + S40 + " " + T20 + " 0"},
        // Wider: written whole, the rest moves right.
        {"J1", S41, T21, -7, "H 20261208 0930 J1 " + S41 + " " + T21 + " -7"},
        // An empty job identifier still leaves both its spaces.
        {"", "", "", 0, "H 20261208 0930  " + std::string(40, ' ') + " " + std::string(20, ' ') + " 0"},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(FormatLogLine("H", "20261208 0930", C.JobId, C.Sender, C.Text, C.Number), C.Expected);
}

TEST(ActivityLog, AppendsOneLinePerEventInOrder) {
    TScratch Scratch;
    TJobState Job;
    Job.LogFile = Scratch.Log.string();
    LogEvent(Job, "H", "J1", "a@b.cz", "subject", 0);
    LogEvent(Job, "C", "J1", "a@b.cz", "UTF-8", 0);
    const std::string Text = ReadFile(Scratch.Log);
    ASSERT_EQ(Text.size(), 2u * (2 + 13 + 1 + 2 + 1 + 40 + 1 + 20 + 2 + 2));
    const std::vector<std::string> Lines = ReadLines(Scratch.Log);
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_EQ(WithoutStamp(Lines[0]), FormatLogLine("H", "<stamp>", "J1", "a@b.cz", "subject", 0));
    EXPECT_EQ(WithoutStamp(Lines[1]), FormatLogLine("C", "<stamp>", "J1", "a@b.cz", "UTF-8", 0));
}

// A job keeps its log open: every line is in the file as soon as it is logged, a
// log renamed meanwhile gets the job's remaining lines, and a line after the job
// goes to the configured name again.
TEST(ActivityLog, AJobWritesEachLineAtOnceToTheFileItOpened) {
    TScratch Scratch;
    const std::filesystem::path Renamed = Scratch.Base / "renamed.log";
    {
        TJobState Job;
        Job.LogFile = Scratch.Log.string();
        Job.KeepsLogOpen = true;
        LogEvent(Job, "H", "J1", "a@b.cz", "subject", 0);
        EXPECT_EQ(ReadLines(Scratch.Log).size(), 1u);
        std::filesystem::rename(Scratch.Log, Renamed);
        LogEvent(Job, "C", "J1", "a@b.cz", "UTF-8", 0);
        EXPECT_EQ(ReadLines(Renamed).size(), 2u);
        EXPECT_FALSE(std::filesystem::exists(Scratch.Log));
    }
    TJobState Later;
    Later.LogFile = Scratch.Log.string();
    LogEvent(Later, "F", "J2", "a@b.cz", "failed", 0);
    EXPECT_EQ(ReadLines(Renamed).size(), 2u);
    ASSERT_EQ(ReadLines(Scratch.Log).size(), 1u);
    EXPECT_EQ(WithoutStamp(ReadLines(Scratch.Log)[0]), FormatLogLine("F", "<stamp>", "J2", "a@b.cz", "failed", 0));
}

}  // namespace
}  // namespace lumaro::test
