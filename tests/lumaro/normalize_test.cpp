#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "lumaro/lumaro.h"
#include "mimepart/mimepart.h"
#include "test_host.h"

namespace lumaro::test {
namespace {

using Lines = std::vector<std::string>;

class Normalize : public ::testing::Test {
protected:
    void SetUp() override {
        Job = TJobState{};
        Job.LogFile = Scratch.Log.string();
        Job.JobId = "J7";
        Job.SenderAddress = "jan@example.cz";
        Job.CharSet = "ISO-8859-2";
        Job.Changed = false;
    }

    std::unique_ptr<TMimePart> Normalized(const Lines& Message) {
        auto Part = std::make_unique<TMimePart>();
        Part->Lines.Assign(Message);
        Part->SplitParts();
        TWalk(Job).NormalizePart(*Part);
        return Part;
    }

    TJobState Job;

    // The activity log with stamps removed.
    Lines LogLines() const {
        Lines Result;
        for (const std::string& Line : ReadLines(Scratch.Log)) Result.push_back(WithoutStamp(Line));
        return Result;
    }

    static std::string Logged(const std::string& Code, const std::string& Text) {
        return FormatLogLine(Code, "<stamp>", "J7", "jan@example.cz", Text, 0);
    }

    TScratch Scratch;
};

TEST_F(Normalize, HeaderRule) {
    struct {
        std::string Line, Expected, Label;
    } Cases[] = {
        {"Subject: =?UTF-8?Q?caf=C3=A9?=", "Subject: =?ISO-8859-1?Q?caf=E9?=", "subject"},
        // The value starts right after the colon; no word is lost.
        {"subject:=?UTF-8?Q?a?= =?UTF-8?Q?b?=", "Subject: ab", "subject"},
        {"SUBJECT : =?utf-8?q?x?=", "Subject: x", "subject"},
        {"Subject:\t=?UTF-8?Q?x?=", "Subject: x", "subject"},
        {"cc: =?utf-8?B?xb5sdcWlb3XEjWvDvQ==?= <z@x.cz>", "CC: \x9elu\x9dou\xe8k\xfd <z@x.cz>", "cc"},
        {"To : =?UTF-8?Q?x?= <x@x.cz>", "To: x <x@x.cz>", "to"},
        {"From: =?UTF-8?Q?Jan_Nov=C3=A1k?= <jan@example.cz>", "From: \"=?ISO-8859-1?Q?Jan_Nov=E1k?=\"<jan@example.cz>",
         "from"},
        // Decoded line breaks must not open a header line of the sender's choosing.
        {"To: =?UTF-8?Q?x=0D=0ABcc=3A_victim=40example.com?= <v@x.cz>", "To: \"x  Bcc: victim@example.com\" <v@x.cz>",
         "to"},
        // A word that holds raw specials is structure to every reader, and stays.
        {"From: =?UTF-8?Q?<a@b.cz=0D=0ABcc:_v@x.cz>?=", "From: =?UTF-8?Q?<a@b.cz=0D=0ABcc:_v@x.cz>?=", "from"},
        // From: the mailboxes as written; only names and comments are decoded, and
        // encoded again.
        {"From: =?UTF-8?Q?=3Cceo=40bank.example=3E?= <attacker@evil.example>",
         "From: \"=?ISO-8859-1?Q?=3Cceo=40bank.example=3E?=\"<attacker@evil.example>", "from"},
        {"From: =?UTF-8?Q?J=C3=A1n?= <jan@a.example>, Eva <eva@b.example>",
         "From: \"=?ISO-8859-1?Q?J=E1n?=\"<jan@a.example>, \"Eva\"<eva@b.example>", "from"},
        {"From: jiri@example.cz (=?UTF-8?Q?Ji=C5=99=C3=AD_D=2E?=)", "From: jiri@example.cz (=?ISO-8859-2?Q?Ji=F8=ED_D.?=)",
         "from"},
        {"From: =?UTF-8?Q?T=C3=BDm?=: a@x.cz, <b@x.cz>;", "From: =?ISO-8859-1?Q?T=FDm?=: a@x.cz, b@x.cz;", "from"},
        {"From: =?UTF-8?Q?a?==?UTF-8?Q?,?= <a@x.cz>", "From: =?UTF-8?Q?a?==?UTF-8?Q?,?= <a@x.cz>", "from"},
        {"From: =?UTF-8?Q?a=0D=0Ab?= <a@x.cz>", "From: \"a  b\"<a@x.cz>", "from"},
        // Content lines: a value keeps its parameters, or its words.
        {"Content-Type: multipart/mixed; x=\"=?UTF-8?Q?=22;_boundary=3D=22evil?=\"; boundary=\"good\"",
         "Content-Type: multipart/mixed; x=\"=?UTF-8?Q?=22;_boundary=3D=22evil?=\"; boundary=\"good\"", "content-type"},
        {"Content-Disposition: attachment; filename=\"=?UTF-8?Q?a;_b=3Dc=2Etxt?=\"",
         "Content-Disposition: attachment; filename=\"a; b=c.txt\"", "content-disposion"},
        {"Content-Type: image/png; name==?UTF-8?Q?a.png?=", "Content-Type: image/png; name==?UTF-8?Q?a.png?=",
         "content-type"},
        // Without the colon behind its name, a decoded colon would end the name.
        {"Content-Type image/png; x=\"=?UTF-8?Q?a=3Ab?=\"", "Content-Type image/png; x=\"=?UTF-8?Q?a=3Ab?=\"",
         "content-type"},
        {"Content-Disposition: inline; filename=\"=?UTF-8?Q?fin=C3?= =?UTF-8?Q?=A1ln=C3=AD?=\"",
         "Content-Disposition: inline; filename=\"fin\xe1ln\xed\"", "content-disposion"},
        {"Content-Disposition: inline; filename=\"=?UTF-8?B?zrXOuc66z4zOvc6x?=.png\"",
         "Content-Disposition: inline; filename=\"=?UTF-8?B?zrXOuc66z4zOvc6x?=.png\"", "content-disposion"},
        {"Content-Disposition: attachment; filename=\"=?UTF-8?Q?caf=C3=A9.txt?=\"",
         "Content-Disposition: attachment; filename=\"caf\xe9.txt\"", "content-disposion"},
        {"content-type: application/pdf; name=\"=?UTF-8?Q?a=00b?=\"", "content-type: application/pdf; name=\"a b\"",
         "content-type"},
        // Left alone: other charsets, and fields whose name merely begins like a kind.
        {"Subject: =?ISO-8859-2?Q?x?=", "Subject: =?ISO-8859-2?Q?x?=", ""},
        {"Topic: =?UTF-8?Q?x?=", "Topic: =?UTF-8?Q?x?=", ""},
        {"Cc-List: =?UTF-8?Q?x?=", "Cc-List: =?UTF-8?Q?x?=", ""},
        {"Subject-Old: =?UTF-8?Q?x?=", "Subject-Old: =?UTF-8?Q?x?=", ""},
        {"FromAddr: =?UTF-8?Q?x?=", "FromAddr: =?UTF-8?Q?x?=", ""},
        {"X-Subject: =?UTF-8?Q?x?=", "X-Subject: =?UTF-8?Q?x?=", ""},
        {"Subject =?UTF-8?Q?x?=", "Subject =?UTF-8?Q?x?=", ""},
    };
    for (const auto& C : Cases) {
        SetUp();
        std::filesystem::remove(Scratch.Log);
        auto Part = Normalized({C.Line, "", "body"});
        ASSERT_EQ(Part->HeaderLines.Count(), 1u) << C.Line;
        EXPECT_EQ(Part->HeaderLines.Get(0), C.Expected) << C.Line;
        EXPECT_EQ(Job.Changed, !C.Label.empty()) << C.Line;
        EXPECT_EQ(LogLines(), C.Label.empty() ? Lines{} : Lines{Logged("H", C.Label)}) << C.Line;
        EXPECT_EQ(Part->OutputCharsetId, TCharsetId::UTF_8);
    }
}

// A decoded word must not split the list or the address it stands in: display
// names are quoted where their text needs it, text in quoted strings and comments
// escaped, and what cannot stand (addresses, commas in comments, words holding raw
// specials, text the system charset cannot hold) stays as written.
TEST_F(Normalize, DecodedAddressListsStayWhole) {
    const struct {
        std::string Value, Expected;
    } Cases[] = {
        {"=?UTF-8?Q?Novak=2C?= Petr <p@x.cz>", "\"Novak,\" Petr <p@x.cz>"},
        {"=?UTF-8?Q?a=3Bb?= <p@x.cz>", "\"a;b\" <p@x.cz>"},
        {"=?UTF-8?Q?a_=3Cb=3E?= <p@x.cz>", "\"a <b>\" <p@x.cz>"},
        {"=?UTF-8?Q?a_=40?= Brno <p@x.cz>", "\"a @\" Brno <p@x.cz>"},
        {"=?UTF-8?Q?a=3Ab=5B=5D?= <p@x.cz>", "\"a:b[]\" <p@x.cz>"},
        {"=?UTF-8?Q?a_=22b=22?= <p@x.cz>", "\"a \\\"b\\\"\" <p@x.cz>"},
        {"=?UTF-8?Q?a_=5C?= b <p@x.cz>", "\"a \\\\\" b <p@x.cz>"},
        {"=?UTF-8?Q?=22?= <a@x.cz>, b@y.cz", "\"\\\"\" <a@x.cz>, b@y.cz"},
        {"=?UTF-8?Q?a=2C?= <a@x.cz>, =?UTF-8?B?Yztk?= <c@x.cz>", "\"a,\" <a@x.cz>, \"c;d\" <c@x.cz>"},
        // Adjacent words are one text, a character split between them included.
        {"=?UTF-8?Q?Novak=2C?= =?UTF-8?Q?_Petr?= <p@x.cz>", "\"Novak, Petr\" <p@x.cz>"},
        {"=?UTF-8?Q?Nov=C3?= =?UTF-8?Q?=A1k?= <p@x.cz>", "Nov\xe1k <p@x.cz>"},
        {"=?UTF-8?Q?Petr_Novak?= <p@x.cz>", "Petr Novak <p@x.cz>"},
        {"Petr =?UTF-8?Q?Nov=C3=A1k?= <p@x.cz>", "Petr Nov\xe1k <p@x.cz>"},
        {"=?UTF-8?Q?T=C3=BDm=3A?=: a@x.cz, b@x.cz;", "\"T\xfdm:\": a@x.cz, b@x.cz;"},
        // The sender's own quoting, inside the words (Emacs) or around them (s-nail).
        {"=?UTF-8?Q?=22Eva_=5C=22Evi=C4=8Dka=5C=22_Svobodov=C3=A1=22?= <e@x.cz>, a@x.cz, b@x.cz, c@x.cz",
         "\"Eva \\\"Evi\xe8ka\\\" Svobodov\xe1\" <e@x.cz>, a@x.cz, b@x.cz, c@x.cz"},
        {"=?utf-8?Q?\"Dvo=C5=99=C3=A1k,?= Petr\" <p@x.cz>", "\"Dvo\xf8\xe1k, Petr\" <p@x.cz>"},
        {"\"=?UTF-8?Q?Novak=2C?= Petr\" <p@x.cz>", "\"Novak, Petr\" <p@x.cz>"},
        {"\"=?UTF-8?Q?a=22,_evil=40x,_=22b?=\" <r@x.cz>", "\"a\\\", evil@x, \\\"b\" <r@x.cz>"},
        {"\"=?UTF-8?Q?a_=5C?=\" <r@x.cz>", "\"a \\\\\" <r@x.cz>"},
        {"a@x.cz (=?UTF-8?Q?=29_x_=28?=)", "a@x.cz (\\) x \\()"},
        {"a@x.cz (=?UTF-8?Q?=29=2C_evil=40evil.example_=28?=)", "a@x.cz (=?UTF-8?Q?=29=2C_evil=40evil.example_=28?=)"},
        // Where the address stands, or the list is read in more than one way.
        {"=?UTF-8?Q?Jan?=", "=?UTF-8?Q?Jan?="},
        {"=?UTF-8?Q?Petr_Novak_=3Cp=40x.cz=3E?=", "=?UTF-8?Q?Petr_Novak_=3Cp=40x.cz=3E?="},
        {"p@x.cz, =?UTF-8?Q?j@x.cz?=", "p@x.cz, =?UTF-8?Q?j@x.cz?="},
        {"<=?UTF-8?Q?j?=@x.cz>", "<=?UTF-8?Q?j?=@x.cz>"},
        {"=?UTF-8?Q?Novak,?= Petr <p@x.cz>", "=?UTF-8?Q?Novak,?= Petr <p@x.cz>"},
        {"=?UTF-8?Q?=22Novak=2C?= Petr\" <p@x.cz>", "=?UTF-8?Q?=22Novak=2C?= Petr\" <p@x.cz>"},
        {"=?UTF-8?Q?Jan?= <a@x.cz> \\ b", "=?UTF-8?Q?Jan?= <a@x.cz> \\ b"},
        // Readers that decode first would find another list: a word where an address
        // stands whose text is structure, a word across a comma.
        {"=?UTF-8?Q?=22x?=, =?UTF-8?Q?Jan?= <a@x.cz>", "=?UTF-8?Q?=22x?=, =?UTF-8?Q?Jan?= <a@x.cz>"},
        {"=?UTF-8?Q?a,?= =?UTF-8?Q?b?= <a@x.cz>", "=?UTF-8?Q?a,?= =?UTF-8?Q?b?= <a@x.cz>"},
        {"=?UTF-8?B?zrXOuc66z4zOvc6x?= <p@x.cz>", "=?UTF-8?B?zrXOuc66z4zOvc6x?= <p@x.cz>"},
    };
    for (const auto& C : Cases) {
        for (const std::string Name : {"To: ", "CC: "}) {
            auto Part = Normalized({Name + C.Value, "", "body"});
            EXPECT_EQ(Part->HeaderLines.Get(0), Name + C.Expected) << C.Value;
        }
    }
}

// However a decoded word carries line breaks or NUL bytes, the rewritten line
// stays one header line.
TEST_F(Normalize, RewrittenLinesHoldNoLineBreak) {
    for (const char* Word : {"=?UTF-8?Q?a=0D=0Ab=00c?=", "=?UTF-8?B?YQ0KYgBj?=", "=?UTF-8?Q?a=0Db=0Ac?="}) {
        for (const std::string_view Name : {"Subject: ", "From: ", "To: ", "CC: ", "Content-Type: text/plain; name=\"",
                                       "Content-Disposition: attachment; filename=\""}) {
            const std::string Original = std::string(Name) + Word + (Name.back() == '"' ? "\"" : " <x@y.cz>");
            auto Part = Normalized({Original, "", "z"});
            ASSERT_EQ(Part->HeaderLines.Count(), 1u);
            const std::string Line(Part->HeaderLines.Get(0));
            EXPECT_NE(Line, Original);
            EXPECT_EQ(Line.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << Name << Word;
        }
    }
}

TEST_F(Normalize, ConversionRule) {
    struct {
        std::string Name;
        Lines Message, Headers, Body, Log;
        std::string CharSet = "ISO-8859-2";
    } Cases[] = {
        {"8bit UTF-8",
         {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit", "", "\xc5\xbdlu\xc5\xa5"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2", "Content-Transfer-Encoding: 8bit"},
         {"\xaelu\xbb"},
         {Logged("C", "UTF-8")}},
        // Non-ASCII text under a 7bit label is converted and relabelled 8bit.
        {"7bit UTF-8",
         {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 7bit", "", "\xc5\xbdlu\xc5\xa5"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2", "Content-Transfer-Encoding: 8bit"},
         {"\xaelu\xbb"},
         {Logged("C", "UTF-8")}},
        {"no encoding header",
         {"Content-Type: text/plain; charset=utf-8", "", "\xc5\xbdlu\xc5\xa5"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2", "Content-Transfer-Encoding: 8bit"},
         {"\xaelu\xbb"},
         {Logged("C", "UTF-8")}},
        {"UTF-7",
         {"Content-Type: text/plain; charset=UTF-7", "", "Hi +AOk-"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2", "Content-Transfer-Encoding: 8bit"},
         {"Hi \xe9"},
         {Logged("C", "UTF-7")}},
        {"7bit ASCII stays 7bit",
         {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 7bit", "", "Hello"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2", "Content-Transfer-Encoding: 7bit"},
         {"Hello"},
         {Logged("C", "UTF-8")}},
        {"kept lines in order",
         {"Received: r", "Content-Base: x", "Content-ID: <id>", "MIME-Version: 1.0", "Content-Description: d",
          "Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: quoted-printable", "", "a=C3=A9"},
         {"Received: r", "Content-Base: x", "MIME-Version: 1.0", "Content-type: TEXT/PLAIN; charset=ISO-8859-2",
          "Content-Transfer-Encoding: Quoted-printable", "Content-ID: <id>", "Content-Description: d"},
         {"a=E9"},
         {Logged("C", "UTF-8")}},
        // The file name stays readable after the part's charsets change.
        {"file name",
         {"Content-Type: text/plain; charset=utf-8; name=\"=?UTF-8?Q?caf=C3=A9.txt?=\"",
          "Content-Transfer-Encoding: 8bit", "", "x"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2; name=\"=?ISO-8859-1?Q?caf=E9.txt?=\"",
          "Content-Transfer-Encoding: 8bit"},
         {"x"},
         {Logged("H", "content-type"), Logged("C", "UTF-8")}},
        // A name of raw UTF-8 bytes was never decoded: it keeps its bytes.
        {"raw UTF-8 file name",
         {"Content-Type: text/plain; charset=utf-8; name=\"pozn\xc3\xa1mky.txt\"", "Content-Transfer-Encoding: 8bit",
          "", "x"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2; name=\"=?ISO-8859-1?Q?pozn=E1mky.txt?=\"",
          "Content-Transfer-Encoding: 8bit"},
         {"x"},
         {Logged("C", "UTF-8")}},
        // A word goes straight into UTF-8, whatever the system charset can hold.
        {"file name beyond the system charset",
         {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit",
          "Content-Disposition: attachment; filename=\"=?UTF-8?B?0JQudHh0?=\"", "", "x"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2; name=\"=?ISO-8859-5?Q?=B4.txt?=\"",
          "Content-Transfer-Encoding: 8bit", "Content-Disposition: attachment; FileName=\"=?ISO-8859-5?Q?=B4.txt?=\""},
         {"x"},
         {Logged("H", "content-disposion"), Logged("C", "UTF-8")}},
        // What the rebuilt lines do not rewrite comes back as it was written.
        {"other parameters",
         {"Content-Type: text/plain; charset=utf-8; format=flowed", "Content-Transfer-Encoding: 8bit",
          "Content-Disposition: attachment; filename*=utf-8''%C5%99.txt", "", "x"},
         {"Content-type: TEXT/PLAIN; charset=ISO-8859-2; format=flowed", "Content-Transfer-Encoding: 8bit",
          "Content-Disposition: attachment; filename*=utf-8''%C5%99.txt"},
         {"x"},
         {Logged("C", "UTF-8")}},
        {"html is left alone",
         {"Content-Type: text/html; charset=utf-8", "", "<p>\xc5\xbd</p>"},
         {"Content-Type: text/html; charset=utf-8"},
         {"<p>\xc5\xbd</p>"},
         {}},
        {"every html subtype is left alone",
         {"Content-Type: text/x-amp-html; charset=utf-8", "", "<p>\xc5\xbd</p>"},
         {"Content-Type: text/x-amp-html; charset=utf-8"},
         {"<p>\xc5\xbd</p>"},
         {}},
        {"other charsets are left alone",
         {"Content-Type: text/plain; charset=iso-8859-2", "", "\xae"},
         {"Content-Type: text/plain; charset=iso-8859-2"},
         {"\xae"},
         {}},
        {"configured charset",
         {"Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit", "", "\xc5\xbdlu\xc5\xa5"},
         {"Content-type: TEXT/PLAIN; charset=WINDOWS-1250", "Content-Transfer-Encoding: 8bit"},
         {"\x8elu\x9d"},
         {Logged("C", "UTF-8")},
         "windows-1250"},
        {"attachments are left alone",
         {"Content-Type: application/octet-stream; charset=utf-8", "", "\xc5\xbd"},
         {"Content-Type: application/octet-stream; charset=utf-8"},
         {"\xc5\xbd"},
         {}},
    };
    for (const auto& C : Cases) {
        SetUp();
        Job.CharSet = C.CharSet;
        std::filesystem::remove(Scratch.Log);
        auto Part = Normalized(C.Message);
        EXPECT_EQ(Part->HeaderLines.Strings(), C.Headers) << C.Name;
        EXPECT_EQ(Part->BodyLines.Strings(), C.Body) << C.Name;
        EXPECT_EQ(LogLines(), C.Log) << C.Name;
        EXPECT_EQ(Job.Changed, !C.Log.empty()) << C.Name;
    }
}

TEST_F(Normalize, HeaderLinesAreLoggedBeforeTheConversion) {
    auto Part = Normalized({"Subject: =?UTF-8?Q?x?=", "To: =?UTF-8?Q?y?= <y@x.cz>",
                            "Content-Type: text/plain; charset=utf-8", "", "z"});
    EXPECT_EQ(Part->HeaderLines.Strings(),
              (Lines{"Subject: x", "To: y <y@x.cz>", "Content-type: TEXT/PLAIN; charset=ISO-8859-2",
                     "Content-Transfer-Encoding: 7bit"}));
    EXPECT_EQ(LogLines(), (Lines{Logged("H", "subject"), Logged("H", "to"), Logged("C", "UTF-8")}));
}

// A malformed byte dropped by the conversion must not make a body line into the
// delimiter of a multipart around the part: that body goes out in base64, and the
// message reads back with the parts it had. A line that only looks alike stays.
TEST_F(Normalize, AConvertedBodyNeverShowsADelimiterAroundIt) {
    struct {
        const char* Name;
        std::string Line, Encoding;
    } Cases[] = {
        {"delimiter made by a dropped byte", "-\xFF-outer tail", "Content-Transfer-Encoding: Base64"},
        {"delimiter of the inner multipart", "-\xFF-inner", "Content-Transfer-Encoding: Base64"},
        {"signature line", "-- \xC5\x99", "Content-Transfer-Encoding: 8bit"},
    };
    for (const auto& C : Cases) {
        TLineList Message;
        Message.Assign(Lines{"Content-Type: multipart/mixed; boundary=outer", "", "--outer",
                        "Content-Type: multipart/alternative; boundary=inner", "", "--inner",
                        "Content-Type: text/plain; charset=utf-8", "Content-Transfer-Encoding: 8bit", "", C.Line,
                        "P\xC5\x99\xC3\xADli\xC5\xA1", "--inner--", "--outer", "", "second", "--outer--"});
        Job.Changed = false;
        const std::unique_ptr<TMimePart> Changed = NormalizedMessage(Job, std::move(Message));
        ASSERT_NE(Changed, nullptr) << C.Name;
        const TMimePart& Text = *Changed->Child(0)->Child(0);
        EXPECT_EQ(Text.HeaderLines.Get(Text.HeaderLines.Count() - 1), C.Encoding) << C.Name;

        TMimePart Again;
        Again.Lines.SetText(Changed->JoinedText());
        Again.SplitParts();
        ASSERT_EQ(Again.ChildCount(), 2) << C.Name;
        ASSERT_EQ(Again.Child(0)->ChildCount(), 1) << C.Name;
        TMimePart& ReadBack = *Again.Child(0)->Child(0);
        ReadBack.OutputCharsetId = ReadBack.CharsetId;
        ReadBack.DecodeBody();
        std::string Expected = C.Line;
        Expected.erase(std::remove(Expected.begin(), Expected.end(), '\xFF'), Expected.end());
        if (Expected.find('\xC5') != std::string::npos) Expected = "-- \xF8";
        EXPECT_EQ(ReadBack.DecodedBody.Bytes(), Expected + "\r\nP\xF8\xEDli\xB9\r\n") << C.Name;
    }
}

}  // namespace
}  // namespace lumaro::test
