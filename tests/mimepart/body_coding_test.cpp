// Body decoding and encoding, quoted-printable wrapping and the generated header lines.
#include <gtest/gtest.h>

#include <random>

#include "part_builders.h"
#include "velcode/velcode.h"

namespace lumaro {
namespace {

using test::TLines;
using Coding = TMimeTransferKind;

// A part parsed from its header lines, holding text in OutputCharsetId.
TMimePart& Prepared(TMimePart& Part, const TLines& Header, TCharsetId Output = TCharsetId::UTF_8) {
    Part.HeaderLines.Assign(Header);
    Part.ParseHeader();
    Part.OutputCharsetId = Output;
    return Part;
}

std::string DecodedOf(const TLines& Header, const TLines& Body) {
    TMimePart Part;
    Prepared(Part, Header).BodyLines.Assign(Body);
    Part.DecodeBody();
    EXPECT_EQ(Part.DecodedBody.Position(), 0u);
    return Part.DecodedBody.Bytes();
}

// Prior stands for the lines the part held before: encoding writes over them.
TLines EncodedOf(const TLines& Header, const std::string& Decoded, const TLines& Prior = {}) {
    TMimePart Part;
    Prepared(Part, Header).DecodedBody.Assign(std::string(Decoded));
    Part.BodyLines.Assign(Prior);
    Part.EncodeBody();
    return Part.BodyLines.Strings();
}

TEST(DecodeBody, UndoesTheTransferEncodingAndConvertsText) {
    const std::string Latin2 = "Content-Type: text/plain; charset=iso-8859-2";
    const struct {
        TLines Header, Body;
        std::string Expected;
    } Cases[] = {
        {{Latin2, "Content-Transfer-Encoding: quoted-printable"}, {"=B9ko=", "da", "x"}, "\xC5\xA1koda\r\nx\r\n"},
        {{Latin2, "Content-Transfer-Encoding: 8bit"}, {"\xB9"}, "\xC5\xA1\r\n"},
        {{"Content-Type: image/gif", "Content-Transfer-Encoding: base64"}, {"YW", "Jj", "YQ=="}, "abca"},
        {{"Content-Type: application/x", "Content-Transfer-Encoding: x-uuencode"},
         {"begin 644 a", "#86)C", "#86)C", "`", "end"}, "abcabc"},
        {{"Content-Type: application/x", "Content-Transfer-Encoding: x-xxencode"}, {"1MK7X"}, "abc"},
        // Other kinds are never converted.
        {{"Content-Type: application/x; charset=iso-8859-2"}, {"\xB9"}, "\xB9\r\n"},
        {{Latin2}, {}, ""},
    };
    for (const auto& Case : Cases) EXPECT_EQ(DecodedOf(Case.Header, Case.Body), Case.Expected) << Case.Header[0];
}

// Lines that lie in the read text with their CR LF are decoded where they lie, the
// others gathered: a body of both, an escape or a group of digits running across
// from one kind to the other, decodes as its joined text does.
TEST(DecodeBody, LinesWhereTheyLieAndLinesGatheredDecodeAsOneText) {
    const struct {
        const char* Encoding;
        std::string Text;
        std::string Expected;
    } Cases[] = {
        {"quoted-printable", "ab=\r\n=C3=A9\r\ncd=\nef\r\ngh\r\n", "ab\xC3\xA9\r\ncdef\r\ngh\r\n"},
        {"base64", "YWJj\r\nZGVm\nZ2\r\nhp\r\n", "abcdefghi"},
    };
    for (const auto& Case : Cases) {
        TMimePart Part;
        Prepared(Part, {"Content-Type: application/x", std::string("Content-Transfer-Encoding: ") + Case.Encoding});
        Part.BodyLines.SetText(Case.Text);
        Part.BodyLines.Put(3, Part.BodyLines.Get(3));  // a line of its own, beside the read text
        Part.DecodeBody();
        EXPECT_EQ(Part.DecodedBody.Bytes(), Case.Expected) << Case.Encoding;
    }
}

TEST(DecodeBody, ALongStretchIsDecodedInPiecesOfWholeLines) {
    std::string Text;
    for (int K = 0; Text.size() < 300000; ++K) Text += K % 3 ? "ab=C3=A9 cd=\r\n" : "=3D=\r\n";
    TMimePart Part;
    Prepared(Part, {"Content-Type: application/x", "Content-Transfer-Encoding: quoted-printable"});
    Part.BodyLines.SetText(Text);
    Part.DecodeBody();
    EXPECT_EQ(Part.DecodedBody.Bytes(), DecodeQuotedPrintable(Text));
}

TEST(DecodeBody, HtmlThatDeclaresItsCharsetKeepsItsBytes) {
    const struct {
        const char* Html;
        bool Converted;
    } Cases[] = {
        {"<html><head><meta http-equiv=\"Content-Type\" content=\"text/html;charset=iso-8859-2\"></head>", false},
        {"<HTML><HEAD><META HTTP-EQUIV=content-type CONTENT=text/html></HEAD>", false},
        {"<html><head><meta content='x' http-equiv = \"content-type\"></head>", false},
        {"<html><head><title>t</title></head>", true},
        {"<html><head></head><body><meta http-equiv=Content-Type></body>", true},
        {"<p>no head</p><meta http-equiv=Content-Type>", false},
        {"<head><meta http-equiv=\tcontent-type></head>", true},
    };
    for (const auto& Case : Cases) {
        const std::string Decoded =
            DecodedOf({"Content-Type: text/html; charset=iso-8859-2"}, {Case.Html, "\xB9"});
        EXPECT_EQ(Decoded.find("\xC5\xA1") != std::string::npos, Case.Converted) << Case.Html;
        EXPECT_EQ(Decoded.find('\xB9') != std::string::npos, !Case.Converted) << Case.Html;
    }
}

struct TWrapCase {
    const char* Name;
    std::string Encoded;
    int32_t Limit;
    TLines Pieces;
};

TEST(WrapQuotedPrintableLine, CutsBeforeEscapesAndBlanks) {
    // 100 characters: the last "=" at or before 78 stands at 76, the last blank at 40.
    const std::string Example = std::string(39, 'a') + " " + std::string(35, 'b') + "=3D" + std::string(22, 'c');
    const std::string Blank50 = std::string(49, 'a') + " " + std::string(50, 'b');
    const TWrapCase Cases[] = {
        {"escape moves whole", Example, 78, {Example.substr(0, 75) + "=", Example.substr(75)}},
        {"blank begins the next line", Blank50, 78, {Blank50.substr(0, 49) + "=", Blank50.substr(49)}},
        {"shorter than the limit", std::string(77, 'x'), 78, {std::string(77, 'x')}},
        {"exactly the limit, no break", std::string(78, 'x'), 78, {std::string(78, 'x')}},
        {"no separator: 78 plus soft break",
         std::string(100, 'x'),
         78,
         {std::string(78, 'x') + "=", std::string(22, 'x')}},
        {"escape only at the start", "=3D" + std::string(90, 'y'), 78,
         {"=3D" + std::string(75, 'y') + "=", std::string(15, 'y')}},
        {"empty line", "", 78, {""}},
        {"no limit", std::string(200, 'z'), 0, {std::string(200, 'z')}},
    };
    for (const auto& Case : Cases) {
        std::vector<std::string> Pieces;
        WrapQuotedPrintableLine(Case.Encoded, Case.Limit, Pieces);
        EXPECT_EQ(Pieces, Case.Pieces) << Case.Name;
    }
}

TEST(WrapQuotedPrintableLine, PiecesDecodeBackToTheLine) {
    std::string Raw;
    for (int k = 0; k < 3000; ++k) Raw += static_cast<char>(k % 7 == 0 ? ' ' : (k * 37) & 0xFF);
    std::vector<std::string> Pieces;
    WrapQuotedPrintableLine(EncodeQuotedPrintable(Raw), 78, Pieces);
    std::string Joined;
    for (const auto& Piece : Pieces) {
        EXPECT_LE(Piece.size(), 79u);
        Joined += Piece + "\r\n";
    }
    Joined.resize(Joined.size() - 2);
    EXPECT_EQ(DecodeQuotedPrintable(Joined), Raw);
}

TEST(EncodeBody, LinesByKindAndEncoding) {
    const std::string Latin2 = "Content-Type: text/plain; charset=iso-8859-2";
    const std::string Utf8 = "Content-Type: text/plain; charset=utf-8";
    const std::string Bin = "Content-Type: application/octet-stream";
    const std::string B55(55, 'x');
    const struct {
        const char* Name;
        TLines Header;
        std::string Decoded;
        TLines Expected;
    } Cases[] = {
        {"base64 lines of 72", {Latin2, "Content-Transfer-Encoding: base64"}, B55,
         {EncodeBase64(B55.substr(0, 54)), "eA=="}},
        {"qp text, converted", {Latin2, "Content-Transfer-Encoding: quoted-printable"}, "\xC5\xA1 a=b\r\n\r\nz",
         {"=B9 a=3Db", "", "z"}},
        {"qp text, utf-8 mark", {Utf8, "Content-Transfer-Encoding: quoted-printable"}, "a", {"=EF=BB=BFa"}},
        {"base64 text, utf-8 mark", {Utf8, "Content-Transfer-Encoding: base64"}, "", {"77u/"}},
        {"7bit text is neither converted nor marked", {Utf8}, "\xC5\xA1\r\nb", {"\xC5\xA1", "b"}},
        {"7bit latin-2 text from utf-8 stays", {Latin2}, "\xC5\xA1", {"\xC5\xA1"}},
        {"8bit text converted", {Latin2, "Content-Transfer-Encoding: 8bit"}, "\xC5\xA1", {"\xB9"}},
        {"empty text", {Latin2, "Content-Transfer-Encoding: quoted-printable"}, "", {}},
        {"qp binary ends with =", {Bin, "Content-Transfer-Encoding: quoted-printable"}, "ab\r\ncd",
         {"ab=0D=0Acd="}},
        {"qp binary, empty", {Bin, "Content-Transfer-Encoding: quoted-printable"}, "", {"="}},
        {"8bit binary is one line", {Bin, "Content-Transfer-Encoding: 8bit"}, "a\r\nb", {"a\r\nb"}},
        {"multipart body is split", {"Content-Type: multipart/mixed; boundary=b"}, "x\r\ny", {"x", "y"}},
    };
    const TLines Priors[] = {{}, {"one old line"}, TLines(50, std::string(100, 'o'))};
    for (const auto& Prior : Priors)
        for (const auto& Case : Cases)
            EXPECT_EQ(EncodedOf(Case.Header, Case.Decoded, Prior), Case.Expected)
                << Case.Name << " over " << Prior.size() << " old lines";
}

TEST(EncodeBody, Base64LinesAcrossLongBodies) {
    // Bodies around the sizes at which the encoder works in runs of pieces.
    for (const size_t Size : {size_t{54} * 1024 - 1, size_t{54} * 1024, size_t{54} * 1024 + 1, size_t{54} * 2048 + 7}) {
        std::string Data(Size, '\0');
        for (size_t k = 0; k < Size; ++k) Data[k] = static_cast<char>((k * 7919) >> 5);
        TLines Expected;
        for (size_t At = 0; At < Size; At += 54) Expected.push_back(EncodeBase64(Data.substr(At, 54)));
        EXPECT_EQ(EncodedOf({"Content-Type: application/zip", "Content-Transfer-Encoding: base64"}, Data,
                            TLines(3000, "old")),
                  Expected)
            << Size;
    }
}

// The encoder takes the converted text in pieces and a long line a stretch at a
// time; its lines are those of the whole text encoded line by line: random texts of
// line breaks, escapes, blanks and letters beyond ASCII, some of them long enough
// to be converted in pieces and with lines of a hundred kilobytes.
TEST(EncodeBody, TextInPiecesGivesTheLinesOfTheWholeText) {
    std::mt19937 Random(3);
    const std::string Bytes[] = {"a", "b ", "\r", "\n", "\r\n", "=", "\t", "\x01", "\xC5\x99", "\xE2\x80\x93"};
    for (int Round = 0; Round < 40; ++Round) {
        std::string Text;
        const size_t Size = Round % 8 == 0 ? 700000 : Round % 3 == 0 ? 100000 : Random() % 400;
        const size_t Breaks = Round % 8 == 0 ? 2 : 8;
        while (Text.size() < Size) Text += Bytes[Random() % (Round % 2 == 0 ? Breaks : std::size(Bytes))];
        for (const char* Encoding : {"quoted-printable", "base64"}) {
            const TLines Header = {"Content-Type: text/plain; charset=iso-8859-2",
                                   std::string("Content-Transfer-Encoding: ") + Encoding};
            const std::string Converted = ConvertCharset(Text, TCharsetId::UTF_8, TCharsetId::ISO_8859_2);
            TLines Expected;
            if (Encoding[0] == 'b') {
                for (size_t At = 0; At < Converted.size(); At += 54) Expected.push_back(EncodeBase64(Converted.substr(At, 54)));
            } else {
                TLineList Lines;
                Lines.SetText(Converted);
                for (std::string_view Line : Lines) WrapQuotedPrintableLine(EncodeQuotedPrintable(Line), 78, Expected);
            }
            ASSERT_EQ(EncodedOf(Header, Text), Expected) << Encoding << " round " << Round;
        }
    }
}

// Encoding stops where what it holds would pass the most bytes it may hold, and
// leaves no lines; within them it writes them all. A short text is converted whole
// and held beside its lines, so it counts too.
TEST(EncodeBody, StopsPastTheMostBytesItMayWrite) {
    TMimePart Part;
    Prepared(Part, {"Content-Type: text/plain; charset=iso-8859-2", "Content-Transfer-Encoding: quoted-printable"});
    Part.DecodedBody.Assign(std::string(500000, '\x01'));
    EXPECT_FALSE(Part.EncodeBodyWithin(1000000));
    EXPECT_EQ(Part.BodyLines.Count(), 0u);
    EXPECT_FALSE(Part.EncodeBodyWithin(2000000));
    EXPECT_TRUE(Part.EncodeBodyWithin(2100000));
    // Lines of 25 escapes, each but the last with a soft break, all with CR LF.
    EXPECT_EQ(Part.BodyLines.TextSize(), 1500000u + 500000 / 25 * 3 - 1);
}

TEST(EncodeBody, UuAndXxAreWrittenAsBase64) {
    for (const char* Encoding : {"x-uuencode", "x-xxencode"}) {
        TMimePart Part;
        Prepared(Part, {"Content-Type: application/zip", std::string("Content-Transfer-Encoding: ") + Encoding});
        Part.DecodedBody.Assign("abc");
        Part.EncodeBody();
        EXPECT_EQ(Part.TransferEncoding, "base64");
        EXPECT_EQ(Part.TransferKind, Coding::EncodingBase64);
        EXPECT_EQ(Part.BodyLines.Strings(), TLines{"YWJj"});
    }
}

TEST(EncodeBody, ALargeSingleLineBinaryPartBecomesQuotedPrintableInOnePass) {
    std::string Binary(5 << 20, '\0');
    for (size_t k = 0; k < Binary.size(); ++k) Binary[k] = static_cast<char>((k * 131) >> 3);
    TMimePart Part;
    Prepared(Part, {"Content-Type: application/octet-stream", "Content-Transfer-Encoding: quoted-printable"});
    Part.DecodedBody.Assign(std::string(Binary));
    Part.EncodeBody();
    EXPECT_GT(Part.BodyLines.Count(), Binary.size() / 78);
    Part.DecodeBody();
    EXPECT_TRUE(Part.DecodedBody.Bytes() == Binary);
}

TEST(BodyCoding, DecodeAndEncodeGiveTheBodyBack) {
    const TLines Body = {"=E9t=E9 ", "  second =", "line", ""};
    TMimePart Part;
    Prepared(Part, {"Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable"});
    Part.BodyLines.Assign(Body);
    Part.DecodeBody();
    EXPECT_EQ(Part.DecodedBody.Bytes(), "\xC3\xA9t\xC3\xA9 \r\n  second line\r\n\r\n");
    Part.EncodeBody();
    EXPECT_EQ(Part.BodyLines.Strings(), (TLines{"=E9t=E9 ", "  second line", ""}));
}

struct THeaderCase {
    const char* Name;
    TLines Parsed;
    TLines Built;
};

TEST(BuildHeader, WritesContentLinesInItsOrder) {
    const THeaderCase Cases[] = {
        {"multipart", {"Content-Type: multipart/mixed; boundary=b1"},
         {"Content-type: MULTIPART/MIXED; boundary=\"b1\""}},
        {"defaults with a description", {"Content-Description: Notes"},
         {"Content-type: text/plain; charset=ISO-8859-1", "Content-Transfer-Encoding: 7bit",
          "Content-Description: Notes"}},
        {"every line",
         {"Content-Description: D", "Content-Disposition: ATTACHMENT; filename=x\\a.txt", "Content-ID: <i@d>",
          "Content-Transfer-Encoding: quoted-printable", "Content-Type: text/plain; charset=utf-8"},
         {"Content-type: TEXT/PLAIN; charset=UTF-8; name=\"a.txt\"", "Content-Transfer-Encoding: Quoted-printable",
          "Content-ID: <i@d>", "Content-Disposition: attachment; FileName=\"a.txt\"", "Content-Description: D"}},
        {"message", {"Content-Type: message/rfc822", "Content-Transfer-Encoding: 8bit"},
         {"Content-type: MESSAGE/RFC822"}},
        {"binary without subtype", {"Content-Type: image", "Content-Transfer-Encoding: base64"},
         {"Content-type: IMAGE/octet-stream", "Content-Transfer-Encoding: Base64"}},
        {"uu part declared as it will be written", {"Content-Type: application/zip; name=z.zip",
                                                    "Content-Transfer-Encoding: x-uue"},
         {"Content-type: APPLICATION/ZIP; name=\"z.zip\"", "Content-Transfer-Encoding: Base64"}},
        {"8bit", {"Content-Type: text; charset=iso-8859-2", "Content-Transfer-Encoding: 8BIT"},
         {"Content-type: TEXT/plain; charset=ISO-8859-2", "Content-Transfer-Encoding: 8bit"}},
    };
    for (const auto& Case : Cases) {
        TMimePart Part;
        Prepared(Part, Case.Parsed, TCharsetId::ISO_8859_1).BuildHeader();
        EXPECT_EQ(Part.HeaderLines.Strings(), Case.Built) << Case.Name;
    }
}

// Every parameter the rebuilt lines do not write themselves comes back as it was
// written and in its order, the RFC 2231 forms of the names among them; the file
// name keeps its place among them.
TEST(BuildHeader, CarriesTheParametersItDoesNotRewrite) {
    const THeaderCase Cases[] = {
        {"invitation", {"Content-Type: text/calendar; charset=UTF-8; method=REQUEST"},
         {"Content-type: TEXT/CALENDAR; charset=UTF-8; method=REQUEST", "Content-Transfer-Encoding: 7bit"}},
        {"flowed text, quoted and spaced as written",
         {"Content-Type: text/plain; Format=\"flowed\" ; charset=utf-8;DelSp = yes;"},
         {"Content-type: TEXT/PLAIN; charset=UTF-8; Format=\"flowed\"; DelSp = yes",
          "Content-Transfer-Encoding: 7bit"}},
        {"RFC 2231 names in both lines",
         {"Content-Type: text/plain; charset=utf-8; name*=utf-8''pozn%C3%A1mky.txt",
          "Content-Disposition: attachment;  filename*0*=utf-8''pozn%C3%A1; filename*1*=mky.txt; size=12"},
         {"Content-type: TEXT/PLAIN; charset=UTF-8; name*=utf-8''pozn%C3%A1mky.txt", "Content-Transfer-Encoding: 7bit",
          "Content-Disposition: attachment; filename*0*=utf-8''pozn%C3%A1; filename*1*=mky.txt; size=12"}},
        {"a plain name beside the RFC 2231 one",
         {"Content-Type: text/plain; name=\"poznamky.txt\"; name*=utf-8''pozn%C3%A1mky.txt; charset=utf-8",
          "Content-Disposition: attachment; filename*=utf-8''pozn%C3%A1mky.txt; FILENAME=\"poznamky.txt\""},
         {"Content-type: TEXT/PLAIN; charset=UTF-8; name=\"poznamky.txt\"; name*=utf-8''pozn%C3%A1mky.txt",
          "Content-Transfer-Encoding: 7bit",
          "Content-Disposition: attachment; filename*=utf-8''pozn%C3%A1mky.txt; FileName=\"poznamky.txt\""}},
        {"a name without a parameter of its line comes first",
         {"Content-Type: text/plain; format=flowed; charset=utf-8", "Content-Disposition: inline; filename=a.txt"},
         {"Content-type: TEXT/PLAIN; charset=UTF-8; name=\"a.txt\"; format=flowed", "Content-Transfer-Encoding: 7bit",
          "Content-Disposition: inline; FileName=\"a.txt\""}},
        {"a quoted semicolon stays inside its parameter",
         {"Content-Type: application/x-a; x-note=\"a; b\"; name=a.bin"},
         {"Content-type: APPLICATION/X-A; x-note=\"a; b\"; name=\"a.bin\"", "Content-Transfer-Encoding: 7bit"}},
        {"the multipart line writes its own boundary",
         {"Content-Type: multipart/related; type=\"text/html\"; boundary=b1; start=\"<a@b>\""},
         {"Content-type: MULTIPART/RELATED; boundary=\"b1\"; type=\"text/html\"; start=\"<a@b>\""}},
        {"a binary part keeps a charset", {"Content-Type: application/json; charset=utf-8"},
         {"Content-type: APPLICATION/JSON; charset=utf-8", "Content-Transfer-Encoding: 7bit"}},
        {"the last line of a kind counts",
         {"Content-Type: text/plain; format=fixed", "Content-Type: text/plain; charset=utf-8; format=flowed"},
         {"Content-type: TEXT/PLAIN; charset=UTF-8; format=flowed", "Content-Transfer-Encoding: 7bit"}},
    };
    for (const auto& Case : Cases) {
        TMimePart Part;
        Prepared(Part, Case.Parsed).BuildHeader();
        EXPECT_EQ(Part.HeaderLines.Strings(), Case.Built) << Case.Name;
    }
}

TEST(BuildHeader, DeclaresANewCharsetByItsName) {
    TMimePart Part;
    Prepared(Part, {"Content-Type: text/plain; charset=utf-8"});
    Part.SetCharset("latin2");
    Part.BuildHeader();
    EXPECT_EQ(Part.HeaderLines.Strings().front(),
              "Content-type: TEXT/PLAIN; charset=" + CharsetName(CharsetByName("latin2")));
}

}  // namespace
}  // namespace lumaro
