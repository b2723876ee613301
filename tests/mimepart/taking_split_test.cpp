// The job's own way through the tree: a split that takes the lines over instead of
// copying them, and a join straight into text. Both must give what the plain split
// and join give, line for line and byte for byte.
#include <gtest/gtest.h>

#include "part_builders.h"

namespace lumaro {
namespace {

using test::TLines;

// Every list of every part, in walk order, with the part's depth.
TLines Describe(const TMimePart& Root) {
    TLines Out;
    std::vector<const TMimePart*> Pending{&Root};
    while (!Pending.empty()) {
        const TMimePart* Part = Pending.back();
        Pending.pop_back();
        Out.push_back("part " + std::to_string(Part->Depth) + " " + Part->Boundary);
        for (const TLineList* List : {&Part->HeaderLines, &Part->Preamble, &Part->BodyLines}) {
            Out.push_back("|");
            for (std::string_view Line : *List) Out.emplace_back(Line);
        }
        for (size_t k = Part->Children.size(); k > 0; --k) Pending.push_back(Part->Children[k - 1].get());
    }
    return Out;
}

struct TTakingCase {
    const char* Name;
    TLines Message;
    int32_t MaxDepth;
};

const std::string NUL(1, '\0');

const TTakingCase TakingCases[] = {
    {"leaf with a NUL byte", {"Subject: a", "", "x" + NUL + "y", "  z  "}, -1},
    {"multipart with preamble and epilogue",
     {"Content-Type: multipart/mixed; boundary=b", "", "pre", "--b", "", "one  ", "--b", "Content-Type: text/html", "",
      "<p>", "--b--", "epi", ""},
     -1},
    {"encapsulated message is trimmed",
     {"Content-Type: message/rfc822", "", "  ", "Subject: inner  ", "", "body \t", "x"}, -1},
    {"multipart inside an encapsulated message",
     {"Content-Type: message/rfc822", "", "Content-Type: multipart/mixed; boundary=q  ", "", "--q  ", "", "in \t",
      "--q--  ", "after "},
     -1},
    {"parts at the limit keep their lines",
     {"Content-Type: multipart/mixed; boundary=o", "", "--o", "Content-Type: message/rfc822", "", "Subject: s  ", "",
      "kept  ", "--o--"},
     1},
    {"long header lines are folded",
     {"Content-Type: multipart/alternative; boundary=\"0123456789012345678901234567890123456789\"; x=y", "",
      "--0123456789012345678901234567890123456789", "", "a",
      "--0123456789012345678901234567890123456789--"},
     -1},
    {"empty message", {}, -1},
};

// The same message split both ways.
void SplitBothWays(const TTakingCase& C, TMimePart& Copied, TMimePart& Taken) {
    Copied.MaxDepth = Taken.MaxDepth = C.MaxDepth;
    Copied.Lines.Assign(TLines(C.Message));
    Taken.Lines.Assign(TLines(C.Message));
    Copied.SplitParts();
    Taken.SplitPartsTakingLines();
}

TEST(SplitPartsTakingLines, BuildsTheTreeTheCopyingSplitBuilds) {
    for (const auto& C : TakingCases) {
        TMimePart Copied, Taken;
        SplitBothWays(C, Copied, Taken);
        EXPECT_EQ(Describe(Taken), Describe(Copied)) << C.Name;
        EXPECT_EQ(Copied.Lines.Strings(), C.Message) << C.Name << ": the copying split keeps its input";
        EXPECT_EQ(Taken.Lines.Count(), 0u) << C.Name;
    }
}

TEST(JoinedText, IsTheTextOfTheJoinedLines) {
    for (const auto& C : TakingCases) {
        TMimePart Listed, Texted;
        SplitBothWays(C, Listed, Texted);
        for (TMimePart* Part : {&Listed, &Texted}) {
            Part->HeaderLines.Insert(0, "X-Tag: a tag line long enough to be folded, once it is written back to the file");
            Part->MaxLineLength = 40;
        }
        Listed.JoinParts();
        const std::string Text = Texted.JoinedText();
        EXPECT_EQ(Text, Listed.Lines.GetText()) << C.Name;
        EXPECT_EQ(Text.capacity() - Text.size(), 0u) << C.Name << ": reserved exactly once";
        EXPECT_EQ(Texted.Lines.Count(), 0u) << C.Name << ": the root's list is left alone";
    }
}

TEST(WriteJoinedText, PiecesMakeTheJoinedTextOfALargeMessage) {
    TLines Message = {"Subject: big", "Content-Type: multipart/mixed; boundary=\"b\"", "", "--b", ""};
    for (int k = 0; k < 20000; ++k) Message.push_back("line " + std::to_string(k) + " of a body long enough");
    Message.push_back("--b--");
    Message.push_back("epilogue");
    TMimePart Whole, Pieces;
    for (TMimePart* Part : {&Whole, &Pieces}) {
        Part->Lines.Assign(Message);
        Part->SplitPartsTakingLines();
    }
    const std::string Text = Whole.JoinedText();
    std::string Written;
    size_t Calls = 0;
    Pieces.WriteJoinedText([&](std::string_view Piece) {
        ++Calls;
        Written.append(Piece);
    });
    EXPECT_TRUE(Written == Text);
    EXPECT_GT(Calls, 1u) << "a large message is written in pieces";
    TLineList Again;
    Again.SetText(Written);
    EXPECT_EQ(Again.Strings(), Message);
}

}  // namespace
}  // namespace lumaro
