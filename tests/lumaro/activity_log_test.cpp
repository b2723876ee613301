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

}  // namespace
}  // namespace lumaro::test
