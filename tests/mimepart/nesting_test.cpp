// Deeply nested messages: the nesting limit, and trees far deeper than the stack
// would allow for one call per level.
#include <gtest/gtest.h>

#include "part_builders.h"

namespace lumaro {
namespace {

using test::Joined;
using test::SplitFrom;
using test::TLines;

int CountVisits(TMimePart& Root) {
    int Visits = 0;
    Root.Visitor = [&Visits](TMimePart&) { ++Visits; };
    Root.VisitParts();
    return Visits;
}

int DepthOfTree(const TMimePart& Root) {
    const TMimePart* Part = &Root;
    while (Part->ChildCount() > 0) Part = Part->Child(0);
    return Part->Depth;
}

struct TNestingCase {
    const char* Name;
    TLines Message;
    int32_t MaxDepth;
    int ExpectedVisits;
};

TEST(Nesting, DeepMessagesSplitVisitAndJoinBackEveryLine) {
    const TNestingCase Cases[] = {
        {"5000 multiparts, limited", test::NestedMultiparts(5000), MimeMaxDepth, MimeMaxDepth + 1},
        // Every level searches to its closing delimiter at the far end, so unlimited
        // multipart nesting costs depth times length; the limit bounds that.
        {"1000 multiparts, unlimited", test::NestedMultiparts(1000), -1, 1001},
        {"2000 messages, limited", test::NestedMessages(2000), MimeMaxDepth, MimeMaxDepth + 1},
        {"100000 messages, unlimited", test::NestedMessages(100000), -1, 100001},
        {"3 multiparts, limit 1", test::NestedMultiparts(3), 1, 2},
        {"3 messages, limit 0", test::NestedMessages(3), 0, 1},
    };
    for (const auto& Case : Cases) {
        TMimePart Root;
        Root.MaxDepth = Case.MaxDepth;
        SplitFrom(Root, Case.Message);
        EXPECT_EQ(CountVisits(Root), Case.ExpectedVisits) << Case.Name;
        EXPECT_EQ(DepthOfTree(Root), Case.ExpectedVisits - 1) << Case.Name;
        EXPECT_EQ(Joined(Root), Case.Message) << Case.Name;
    }
}

TEST(Nesting, APartAtTheLimitKeepsItsLinesAsTheyCame) {
    const TLines Inner = {"Content-Type: multipart/mixed; boundary=in", "", "pre  ", "--in  ", "", "x",
                          "--in-- ", "--in--", "epi"};
    TLines Message = {"Content-Type: multipart/mixed; boundary=out", "", "--out"};
    Message.insert(Message.end(), Inner.begin(), Inner.end());
    Message.push_back("--out--");
    TMimePart Root;
    Root.MaxDepth = 1;
    SplitFrom(Root, Message);
    ASSERT_EQ(Root.ChildCount(), 1);
    const TMimePart& AtLimit = *Root.Child(0);
    EXPECT_EQ(AtLimit.Boundary, "in");
    EXPECT_EQ(AtLimit.ChildCount(), 0);
    EXPECT_EQ(AtLimit.Preamble.Count(), 0u);
    EXPECT_EQ(AtLimit.BodyLines.Strings(), TLines(Inner.begin() + 2, Inner.end()));
    EXPECT_EQ(Joined(Root), Message);
}

TEST(Nesting, AnEncapsulatedMessageAtTheLimitKeepsBlankLinesAndTrailingBlanks) {
    const TLines Message = {"Content-Type: message/rfc822", "", "", "Subject: x  ", "", "body \t"};
    TMimePart Root;
    Root.MaxDepth = 0;
    SplitFrom(Root, Message);
    EXPECT_EQ(Root.ChildCount(), 0);
    EXPECT_EQ(Root.BodyLines.Strings(), TLines(Message.begin() + 2, Message.end()));
    EXPECT_EQ(Joined(Root), Message);
}

}  // namespace
}  // namespace lumaro
