// Unfolding, the setters and ParseHeader.
#include <gtest/gtest.h>

#include "part_builders.h"

namespace lumaro {
namespace {

using test::TLines;
using Kind = TMimePrimaryKind;
using Coding = TMimeTransferKind;

struct TUnfoldCase {
    TLines Lines;
    size_t Start;
    std::string Expected;
    size_t NextIndex;
};

TEST(UnfoldHeaderLine, JoinsContinuationLinesByTheirFirstCharacter) {
    const TUnfoldCase Cases[] = {
        {{"Subject: a", " b", "=?x?=", "c", ""}, 0, "Subject: a b =?x?=", 3},
        // A continuation that is the last line of its list is not joined.
        {{"Subject: a", " b"}, 0, "Subject: a", 1},
        {{"X: a", "\"q\"", ":c", "=d", "e", ""}, 0, "X: a \"q\" :c =d", 4},
        {{"X: a", "\tb\tc  ", "e"}, 0, "X: a b c", 2},
        {{"X:\ta\t", " b", "e"}, 0, "X:\ta\t b", 2},
        {{"X: a", "", " b", "c"}, 0, "X: a", 1},
        {{"", " b", "c"}, 0, "", 1},
        {{"   ", "c"}, 0, "", 1},
        {{"   ", " b", "c"}, 0, "    b", 2},
        {{"a", "b", " c", "d"}, 1, "b c", 3},
        {{"X: a   "}, 0, "X: a", 1},
    };
    for (const auto& Case : Cases) {
        TLineList List;
        List.Assign(TLines(Case.Lines));
        size_t Index = Case.Start;
        EXPECT_EQ(TMimePart::UnfoldHeaderLine(List, Index), Case.Expected) << Case.Lines[Case.Start];
        EXPECT_EQ(Index, Case.NextIndex) << Case.Lines[Case.Start];
    }
}

TEST(UnfoldHeaderLine, StopsAtAnIndexBeyondTheList) {
    TLineList List;
    List.Add("a");
    size_t Index = 1;
    EXPECT_THROW(TMimePart::UnfoldHeaderLine(List, Index), std::out_of_range);
}

TEST(Setters, DeriveKindsByPrefixWithoutTrimming) {
    const std::pair<std::string, Kind> Primary[] = {
        {"text", Kind::PrimaryText},        {"textual", Kind::PrimaryText},
        {" text", Kind::PrimaryBinary},     {"Multipart", Kind::PrimaryMultipart},
        {"MESSAGE", Kind::PrimaryMessage},  {"application", Kind::PrimaryBinary},
        {"", Kind::PrimaryBinary},
    };
    TMimePart Part;
    for (const auto& [Text, Expected] : Primary) {
        Part.SetPrimaryType(Text);
        EXPECT_EQ(Part.PrimaryKind, Expected) << Text;
        EXPECT_EQ(Part.PrimaryType, Text);
    }
    const std::pair<std::string, Coding> Transfer[] = {
        {"7bit", Coding::EncodingSevenBit},          {"binary", Coding::EncodingSevenBit},
        {"uuencode", Coding::EncodingSevenBit},      {"x-uuencode", Coding::EncodingUU},
        {"X-XXencode", Coding::EncodingXX},          {"8bit", Coding::EncodingEightBit},
        {"Quoted-Printable", Coding::EncodingQuotedPrintable},
        {"base64", Coding::EncodingBase64},          {" base64", Coding::EncodingSevenBit},
    };
    for (const auto& [Text, Expected] : Transfer) {
        Part.SetTransferEncoding(Text);
        EXPECT_EQ(Part.TransferKind, Expected) << Text;
    }
    Part.SetCharset("no-such-charset");
    EXPECT_EQ(Part.CharsetId, CharsetOfOrdinal(0));
    Part.SetCharset("utf-8");
    EXPECT_EQ(Part.CharsetId, TCharsetId::UTF_8);
}

struct TParseCase {
    TLines Header;
    std::string PrimaryType, SubType, Charset;
    Kind PrimaryKind;
    Coding TransferKind;
    std::string Boundary, FileName, Disposition;
};

TEST(ParseHeader, DefaultsTypesAndParameters) {
    const TParseCase Cases[] = {
        {{}, "text", "plain", "US-ASCII", Kind::PrimaryText, Coding::EncodingSevenBit, "", "", ""},
        {{"Subject: x"}, "text", "plain", "US-ASCII", Kind::PrimaryText, Coding::EncodingSevenBit, "", "", ""},
        {{"Content-Type: text/html"}, "TEXT", "HTML", "", Kind::PrimaryText, Coding::EncodingSevenBit, "", "", ""},
        {{"Content-Type: Text/Plain; charset=utf-8"}, "TEXT", "PLAIN", "UTF-8", Kind::PrimaryText,
         Coding::EncodingSevenBit, "", "", ""},
        {{"Content-Type: text"}, "TEXT", "", "", Kind::PrimaryText, Coding::EncodingSevenBit, "", "", ""},
        {{"Content-Type: text/text"}, "TEXT", "TEXT", "", Kind::PrimaryText, Coding::EncodingSevenBit, "", "", ""},
        {{"Content-Type: multipart/mixed; boundary=AbC"}, "MULTIPART", "MIXED", "US-ASCII",
         Kind::PrimaryMultipart, Coding::EncodingSevenBit, "AbC", "", ""},
        {{"Content-Type: image/gif; name=a.gif"}, "IMAGE", "GIF", "US-ASCII", Kind::PrimaryBinary,
         Coding::EncodingSevenBit, "", "a.gif", ""},
        {{"Content-Type: message/rfc822; name=m.eml"}, "MESSAGE", "RFC822", "US-ASCII", Kind::PrimaryMessage,
         Coding::EncodingSevenBit, "", "", ""},
        // A header name is recognised only with the colon right after it.
        {{"Content-Type : text/html"}, "text", "plain", "US-ASCII", Kind::PrimaryText, Coding::EncodingSevenBit,
         "", "", ""},
        // A header that occurs twice takes its last value.
        {{"Content-Type: text/html", "Content-Type: image/png"}, "IMAGE", "PNG", "", Kind::PrimaryBinary,
         Coding::EncodingSevenBit, "", "", ""},
        {{"content-transfer-encoding:  Quoted-Printable "}, "text", "plain", "US-ASCII", Kind::PrimaryText,
         Coding::EncodingQuotedPrintable, "", "", ""},
        {{"Content-Type: application/pdf; name=a.pdf", "Content-Disposition: attachment; filename=b.pdf"},
         "APPLICATION", "PDF", "US-ASCII", Kind::PrimaryBinary, Coding::EncodingSevenBit, "", "a.pdf",
         "ATTACHMENT"},
        {{"Content-Disposition: Inline; FILENAME=\"C:\\tmp\\x.doc\""}, "text", "plain", "US-ASCII",
         Kind::PrimaryText, Coding::EncodingSevenBit, "", "x.doc", "INLINE"},
        {{"Content-Disposition: attachment; filename=dir:x"}, "text", "plain", "US-ASCII", Kind::PrimaryText,
         Coding::EncodingSevenBit, "", "x", "ATTACHMENT"},
        {{"Content-Type: text/plain; name=\"a/b.txt\""}, "TEXT", "PLAIN", "", Kind::PrimaryText,
         Coding::EncodingSevenBit, "", "a/b.txt", ""},
    };
    for (const auto& Case : Cases) {
        TMimePart Part;
        Part.HeaderLines.Assign(TLines(Case.Header));
        Part.ParseHeader();
        const std::string Label = Case.Header.empty() ? "(none)" : Case.Header.front();
        EXPECT_EQ(Part.PrimaryType, Case.PrimaryType) << Label;
        EXPECT_EQ(Part.SubType, Case.SubType) << Label;
        EXPECT_EQ(Part.Charset, Case.Charset) << Label;
        EXPECT_EQ(Part.CharsetId, CharsetByName(Case.Charset)) << Label;
        EXPECT_EQ(Part.PrimaryKind, Case.PrimaryKind) << Label;
        EXPECT_EQ(Part.TransferKind, Case.TransferKind) << Label;
        EXPECT_EQ(Part.Boundary, Case.Boundary) << Label;
        EXPECT_EQ(Part.FileName, Case.FileName) << Label;
        EXPECT_EQ(Part.Disposition, Case.Disposition) << Label;
        EXPECT_EQ(Part.HeaderLines.Strings(), Case.Header) << "ParseHeader changed the header lines";
    }
}

TEST(ParseHeader, KeepsTheCaseOfDescriptionAndId) {
    TMimePart Part;
    Part.HeaderLines.Assign(TLines({"Content-Description:  My Letter ", "CONTENT-ID: <AbC@Host>"}));
    Part.ParseHeader();
    EXPECT_EQ(Part.Description, "My Letter");
    EXPECT_EQ(Part.ContentId, "<AbC@Host>");
}

TEST(ParseHeader, DecodesTheFileNameBeforeRemovingItsPath) {
    TMimePart Part;
    Part.OutputCharsetId = TCharsetId::UTF_8;
    // The encoded backslash is a path separator only once decoded.
    Part.HeaderLines.Assign(TLines({"Content-Type: application/octet-stream; name=\"=?US-ASCII?Q?dir=5Cplan.txt?=\""}));
    Part.ParseHeader();
    EXPECT_EQ(Part.FileName, "plan.txt");

    Part.HeaderLines.Assign(TLines({"Content-Disposition: attachment; filename=\"=?ISO-8859-1?Q?r=E9sum=E9.txt?=\""}));
    Part.ParseHeader();
    EXPECT_EQ(Part.FileName, "r\xC3\xA9sum\xC3\xA9.txt");
}

// A new output charset takes the file name from its parameter again: words are
// decoded straight into it, raw bytes stay the bytes they were.
TEST(SetOutputCharset, DecodesTheFileNameAgainFromItsParameter) {
    const struct {
        const char* Name;
        std::string Line;
        std::string InUtf8;
    } Cases[] = {
        {"raw UTF-8 bytes", "Content-Type: text/plain; name=\"pozn\xC3\xA1mky.txt\"", "pozn\xC3\xA1mky.txt"},
        {"UTF-8 word", "Content-Disposition: attachment; filename=\"=?UTF-8?Q?=C5=99=C3=ADjen.txt?=\"",
         "\xC5\x99\xC3\xADjen.txt"},
        {"ISO-8859-2 word", "Content-Type: text/plain; name=\"=?ISO-8859-2?Q?=F8=EDjen.txt?=\"",
         "\xC5\x99\xC3\xADjen.txt"},
        {"WINDOWS-1250 word", "Content-Type: text/plain; name=\"=?windows-1250?B?+O1qZW4udHh0?=\"",
         "\xC5\x99\xC3\xADjen.txt"},
        {"word and raw bytes", "Content-Type: text/plain; name=\"=?UTF-8?Q?=C5=99?= \xC3\xADjen.txt\"",
         "\xC5\x99 \xC3\xADjen.txt"},
        {"path in a word", "Content-Type: text/plain; name=\"=?UTF-8?Q?C:=5Cdir=5C=C5=99.txt?=\"", "\xC5\x99.txt"},
        {"no name", "Content-Type: text/plain; name*=utf-8''x.txt", ""},
    };
    for (const auto& C : Cases) {
        TMimePart Part(TCharsetId::ISO_8859_2);
        Part.HeaderLines.Assign(TLines({C.Line}));
        Part.ParseHeader();
        Part.SetOutputCharset(TCharsetId::UTF_8);
        EXPECT_EQ(Part.OutputCharsetId, TCharsetId::UTF_8) << C.Name;
        EXPECT_EQ(Part.FileName, C.InUtf8) << C.Name;
    }
}

TEST(SetOutputCharset, LeavesANameGivenByHand) {
    TMimePart Part(TCharsetId::ISO_8859_2);
    Part.FileName = "\xE9.txt";
    Part.SetOutputCharset(TCharsetId::UTF_8);
    EXPECT_EQ(Part.FileName, "\xE9.txt");
}

TEST(Children, AddChildPassesOnCharsetDepthAndLimit) {
    TMimePart Root;
    Root.FallbackCharset = "ISO-8859-2";
    Root.MaxDepth = MimeMaxDepth;
    Root.MaxLineLength = 50;
    Root.Visitor = [](TMimePart&) {};
    TMimePart& Grand = Root.AddChild().AddChild();
    EXPECT_EQ(Grand.FallbackCharset, "ISO-8859-2");
    EXPECT_EQ(Grand.Depth, 2);
    EXPECT_EQ(Grand.MaxDepth, MimeMaxDepth);
    EXPECT_EQ(Grand.MaxLineLength, 78);
    EXPECT_FALSE(static_cast<bool>(Grand.Visitor));
    EXPECT_EQ(Root.Child(1), nullptr);
    EXPECT_THROW(Root.Child(-1), std::out_of_range);
}

TEST(Children, AVeryDeepTreeIsFreedWithoutExhaustingTheStack) {
    auto Root = std::make_unique<TMimePart>();
    TMimePart* Deepest = Root.get();
    for (int k = 0; k < 100000; ++k) Deepest = &Deepest->AddChild(TCharsetId::UTF_8);
    EXPECT_EQ(Deepest->Depth, 100000);
    Root.reset();
    TMimePart Reused;
    for (int k = 0; k < 3; ++k) Reused.AddChild().AddChild();
    Reused.ClearChildren();
    EXPECT_EQ(Reused.ChildCount(), 0);
}

}  // namespace
}  // namespace lumaro
