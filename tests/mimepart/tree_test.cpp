// Splitting, joining, folding and walking the part tree.
#include <gtest/gtest.h>

#include <random>

#include "part_builders.h"

namespace lumaro {
namespace {

using test::Joined;
using test::SplitFrom;
using test::TLines;

TEST(SplitParts, LeafMessages) {
    TMimePart Part;
    SplitFrom(Part, {"Subject: x", "From: y"});
    EXPECT_EQ(Part.HeaderLines.Strings(), (TLines{"Subject: x", "From: y"}));
    EXPECT_EQ(Part.BodyLines.Count(), 0u);
    EXPECT_EQ(Joined(Part), (TLines{"Subject: x", "From: y", ""}));

    SplitFrom(Part, {"", "Subject: a", "", "b"});
    EXPECT_EQ(Part.HeaderLines.Count(), 0u);
    EXPECT_EQ(Part.BodyLines.Strings(), (TLines{"Subject: a", "", "b"}));
    EXPECT_EQ(Part.ChildCount(), 0);
}

TEST(SplitParts, MultipartWithPreambleAndEpilogue) {
    const TLines Message = {"Content-Type: multipart/mixed; boundary=b1", "", "pre", "--b1",
                            "Content-Type: text/plain", "", "one", "--b1", "", "two  ", "--b1--", "epi"};
    TMimePart Part;
    SplitFrom(Part, Message);
    EXPECT_EQ(Part.Preamble.Strings(), TLines{"pre"});
    ASSERT_EQ(Part.ChildCount(), 2);
    EXPECT_EQ(Part.Child(0)->HeaderLines.Strings(), TLines{"Content-Type: text/plain"});
    EXPECT_EQ(Part.Child(0)->BodyLines.Strings(), TLines{"one"});
    EXPECT_EQ(Part.Child(1)->HeaderLines.Count(), 0u);
    EXPECT_EQ(Part.Child(1)->BodyLines.Strings(), TLines{"two  "});
    EXPECT_EQ(Part.Child(1)->Depth, 1);
    EXPECT_EQ(Part.BodyLines.Strings(), TLines{"epi"});
    EXPECT_EQ(Joined(Part), Message);
    EXPECT_EQ(Part.Lines.Strings(), Message) << "a second join gives the same lines";
}

TEST(SplitParts, NestedMultipartBelongsToItsChild) {
    const TLines Message = {"Content-Type: multipart/mixed; boundary=outer", "", "--outer",
                            "Content-Type: multipart/alternative; boundary=inner", "", "--inner", "", "plain",
                            "--inner", "Content-Type: text/html", "", "<p>html</p>", "--inner--", "",
                            "--outer", "", "last", "--outer--"};
    TMimePart Part;
    SplitFrom(Part, Message);
    ASSERT_EQ(Part.ChildCount(), 2);
    const TMimePart& Inner = *Part.Child(0);
    EXPECT_EQ(Inner.Boundary, "inner");
    ASSERT_EQ(Inner.ChildCount(), 2);
    EXPECT_EQ(Inner.Child(1)->SubType, "HTML");
    EXPECT_EQ(Inner.Child(1)->Depth, 2);
    EXPECT_EQ(Inner.BodyLines.Strings(), TLines{""});
    EXPECT_EQ(Part.Child(1)->BodyLines.Strings(), TLines{"last"});
    EXPECT_EQ(Joined(Part), Message);
}

// Only the header of an encapsulated message is read right-trimmed, so that it ends
// where a line of blanks stands; every line of its body is kept as it is. One that
// begins after blank lines is kept as read: to RFC 2046 that is an empty header.
TEST(SplitParts, EncapsulatedMessageTrimsOnlyItsHeader) {
    TMimePart Part;
    SplitFrom(Part, {"Content-Type: message/rfc822", "", "Subject: inner  ", "  ", "body \t", "x"});
    ASSERT_EQ(Part.ChildCount(), 1);
    EXPECT_EQ(Part.BodyLines.Count(), 0u);
    EXPECT_EQ(Part.Child(0)->HeaderLines.Strings(), TLines{"Subject: inner"});
    EXPECT_EQ(Part.Child(0)->BodyLines.Strings(), (TLines{"body \t", "x"}));
    EXPECT_EQ(Joined(Part), (TLines{"Content-Type: message/rfc822", "", "Subject: inner", "", "body \t", "x"}));

    const TLines AfterBlankLines = {"Content-Type: message/rfc822", "", "", "  ", "Subject: inner  ", "", "body"};
    SplitFrom(Part, AfterBlankLines);
    EXPECT_EQ(Part.ChildCount(), 0);
    EXPECT_EQ(Part.Kept, TMimeKept::Body);
    EXPECT_EQ(Joined(Part), AfterBlankLines);
}

struct TDelimiterCase {
    const char* Name;
    TLines Message;
    TLines ChildBodies;
    TLines Epilogue;
    TLines Rejoined;
};

TEST(SplitParts, DelimiterRecognition) {
    const TDelimiterCase Cases[] = {
        {"closing delimiter followed by blanks ends the parts",
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "one", "--b-- \t", "", "after", "--b--", "epi"},
         {"one"},
         {"", "after", "--b--", "epi"},
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "one", "--b--", "", "after", "--b--", "epi"}},
        {"delimiters followed by blanks; lines that only begin with one are content",
         {"Content-Type: multipart/mixed; boundary=b", "", "--b  ", "", "a", "--bx", "--b tail", "--b--x", "--b\t",
          "", "c", "--b--"},
         {"a\n--bx\n--b tail\n--b--x", "c"},
         {},
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "a", "--bx", "--b tail", "--b--x", "--b", "",
          "c", "--b--"}},
        {"missing closing delimiter ends the last part at the end",
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "a", "--b", "", "c"},
         {"a", "c"},
         {},
         {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "a", "--b", "", "c", "--b--"}},
        {"boundaries compare with case",
         {"Content-Type: multipart/mixed; boundary=B", "", "--B", "", "a", "--b--", "--B--"},
         {"a\n--b--"},
         {},
         {"Content-Type: multipart/mixed; boundary=B", "", "--B", "", "a", "--b--", "--B--"}},
    };
    for (const auto& Case : Cases) {
        TMimePart Part;
        SplitFrom(Part, Case.Message);
        TLines Bodies;
        for (int32_t k = 0; k < Part.ChildCount(); ++k) {
            std::string Body;
            for (const std::string& Line : Part.Child(k)->BodyLines.Strings())
                Body += (Body.empty() ? "" : "\n") + Line;
            Bodies.push_back(Body);
        }
        EXPECT_EQ(Bodies, Case.ChildBodies) << Case.Name;
        EXPECT_EQ(Part.BodyLines.Strings(), Case.Epilogue) << Case.Name;
        EXPECT_EQ(Joined(Part), Case.Rejoined) << Case.Name;
    }
}

// A multipart that no sub-part begins in is not split: no boundary, an empty one,
// no delimiter line, or a closing one before any other. Its lines come back as read.
TEST(SplitParts, MultipartsWithoutASubPartAreKeptAsRead) {
    const TLines Bodies[] = {
        {"x", "y"},
        {"x", "--b--", "", "--b", "", "y"},
        {"--", "", "a", "-- ", "sig", "----"},
    };
    const char* const Types[] = {"multipart/mixed; boundary=b", "multipart/mixed; boundary=b", "multipart/mixed",
                                 "multipart/mixed; boundary=\"\""};
    for (const char* Type : Types) {
        for (const TLines& Body : Bodies) {
            TLines Message = {std::string("Content-Type: ") + Type, ""};
            Message.insert(Message.end(), Body.begin(), Body.end());
            TMimePart Part;
            SplitFrom(Part, Message);
            EXPECT_EQ(Part.ChildCount(), 0) << Type << " " << Body[0];
            EXPECT_EQ(Part.Kept, TMimeKept::Body);
            EXPECT_EQ(Part.BodyLines.Strings(), Body);
            EXPECT_EQ(Joined(Part), Message);
        }
    }
}

TEST(SplitParts, ASecondSplitReplacesTheTree) {
    TMimePart Part;
    SplitFrom(Part, {"Content-Type: multipart/mixed; boundary=b", "", "--b", "", "a", "--b--"});
    SplitFrom(Part, {"Subject: x", "", "y"});
    EXPECT_EQ(Part.ChildCount(), 0);
    EXPECT_EQ(Part.Preamble.Count(), 0u);
    EXPECT_EQ(Part.BodyLines.Strings(), TLines{"y"});
}

struct TFoldCase {
    std::string Line;
    TLines Pieces;
};

TEST(FoldHeaderLine, CutsAtThePreferredSeparatorWithinTheLimit) {
    const std::string Forty = "abcdefghijabcdefghijabcdefghijabcdefghij";
    const std::string X90(90, 'x');
    const std::string Words = "Subject: " + std::string(60, 'w') + " tail1 tail2 tail3";  // 87 characters
    const TFoldCase Cases[] = {
        {"Content-Type: multipart/alternative; boundary=" + Forty,
         {"Content-Type: multipart/alternative;", " boundary=" + Forty}},
        {Words, {"Subject: " + std::string(60, 'w') + " tail1", " tail2 tail3"}},
        {"X: " + X90, {"X:", " " + X90}},
        {"X:" + X90, {"X:" + X90}},
        {"Subject: " + std::string(100, 'y') + " tail", {"Subject:", " " + std::string(100, 'y'), " tail"}},
        {"Short: a; b", {"Short: a; b"}},
        {std::string(77, 'a'), {std::string(77, 'a')}},
        // Exactly 78 characters are folded when a separator follows the first character.
        {"A: " + std::string(70, 'b') + " cccc", {"A: " + std::string(70, 'b'), " cccc"}},
        // "; " near the start wins over a blank near the limit.
        {"To: a; " + std::string(60, 'c') + " dd " + std::string(20, 'e'),
         {"To: a;", " " + std::string(60, 'c') + " dd", " " + std::string(20, 'e')}},
        {"To: " + std::string(40, 'f') + ", " + std::string(30, 'g') + " hh " + std::string(10, 'i'),
         {"To: " + std::string(40, 'f') + ",", " " + std::string(30, 'g') + " hh " + std::string(10, 'i')}},
    };
    for (const auto& Case : Cases) {
        EXPECT_EQ(FoldHeaderLine(Case.Line, 78), Case.Pieces) << Case.Line;
        std::string Rejoined;
        for (const auto& Piece : Case.Pieces) Rejoined += Piece;
        EXPECT_EQ(Rejoined, Case.Line) << "folding loses or adds characters";
    }
}

TEST(FoldHeaderLine, EndsForAnyLimit) {
    for (int32_t Limit : {-5, 0, 1, 2, 3}) {
        const auto Pieces = FoldHeaderLine("a b; c, d  e", Limit);
        std::string Rejoined;
        for (const auto& Piece : Pieces) {
            EXPECT_FALSE(Piece.empty());
            Rejoined += Piece;
        }
        EXPECT_EQ(Rejoined, "a b; c, d  e") << Limit;
    }
}

// A folded header line reads back as the line it was, at the top of a message and
// inside an encapsulated one, whose header lines are read right-trimmed: runs of
// blanks, control bytes and separators of every kind around the places it is cut.
TEST(JoinParts, FoldedHeaderLinesReadBackAsTheyWere) {
    std::mt19937 Random(5);
    const char Bytes[] = {'a', 'a', 'a', ' ', ' ', ';', ',', '\t', '\x01', '"'};
    for (int Round = 0; Round < 2000; ++Round) {
        std::string Line = "X-Long: ";
        for (size_t k = Random() % 300; k > 0; --k) Line += Bytes[Random() % sizeof Bytes];
        for (const TLines& Around : {TLines{}, TLines{"Content-Type: message/rfc822", ""}}) {
            TLines Message = Around;
            Message.insert(Message.end(), {Line, "X-After: a", "", "body"});
            TMimePart Part;
            SplitFrom(Part, Message);
            const TMimePart& Header = Around.empty() ? Part : *Part.Child(0);
            const TLines Read = Header.HeaderLines.Strings();
            TMimePart Again;
            SplitFrom(Again, Joined(Part));
            const TMimePart& HeaderAgain = Around.empty() ? Again : *Again.Child(0);
            ASSERT_EQ(HeaderAgain.HeaderLines.Strings(), Read) << ::testing::PrintToString(Line);
        }
    }
}

TEST(JoinParts, FoldsHeadersAtThePartsLimit) {
    TMimePart Part;
    SplitFrom(Part, {"Content-Type: multipart/alternative;", " boundary=abcdefghijabcdefghijabcdefghijabcdefghij",
                     "", "--abcdefghijabcdefghijabcdefghijabcdefghij", "X-Long: aaaa bbbb cccc", "",
                     "--abcdefghijabcdefghijabcdefghijabcdefghij--"});
    EXPECT_EQ(Part.HeaderLines.Strings().front().size(), 86u);
    Part.Child(0)->MaxLineLength = 10;
    const TLines Lines = Joined(Part);
    EXPECT_EQ(Lines[0], "Content-Type: multipart/alternative;");
    EXPECT_EQ(Lines[1], " boundary=abcdefghijabcdefghijabcdefghijabcdefghij");
    EXPECT_EQ(Lines[4], "X-Long:");
    EXPECT_EQ(Lines[5], " aaaa");
}

TEST(VisitParts, PreOrderWithTheRootsVisitor) {
    TMimePart Root;
    Root.Description = "root";
    TMimePart& A = Root.AddChild();
    A.Description = "A";
    A.AddChild().Description = "A1";
    A.AddChild().Description = "A2";
    Root.AddChild().Description = "B";
    std::vector<std::string> Seen;
    A.Visitor = [](TMimePart&) { FAIL() << "a child's own visitor is replaced by its parent's"; };
    Root.VisitParts();
    EXPECT_TRUE(Seen.empty());
    Root.Visitor = [&Seen](TMimePart& Part) { Seen.push_back(Part.Description); };
    Root.VisitParts();
    EXPECT_EQ(Seen, (std::vector<std::string>{"root", "A", "A1", "A2", "B"}));
}

TEST(VisitParts, CountsChildrenAfterTheVisit) {
    TMimePart Root;
    Root.AddChild().Description = "old";
    std::vector<std::string> Seen;
    Root.Visitor = [&Seen](TMimePart& Part) {
        Seen.push_back(Part.Description);
        if (Part.Description == "root") {
            Part.ClearChildren();
            Part.AddChild().Description = "new1";
            Part.AddChild().Description = "new2";
        }
    };
    Root.Description = "root";
    Root.VisitParts();
    EXPECT_EQ(Seen, (std::vector<std::string>{"root", "new1", "new2"}));
}

}  // namespace
}  // namespace lumaro
