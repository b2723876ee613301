// Encoding of header texts and addresses as Q words, the charset choice, and
// round trips through the decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mimeinln/mimeinln.h"
#include "mimeinln/words_support.h"

namespace lumaro {
namespace {

using testing::Charset;
using testing::IsQWordSequence;
using testing::TCodePageScope;

// Czech and Russian sample texts in the code pages of their users.
const std::string CzechUtf8 =
    "P\xC5\x99\xC3\xADli\xC5\xA1 \xC5\xBElu\xC5\xA5ou\xC4\x8Dk\xC3\xBD k\xC5\xAF\xC5\x88 "
    "\xC3\xBAp\xC4\x9Bl \xC4\x8F\xC3\xA1" "belsk\xC3\xA9 \xC3\xB3" "dy";
const std::string Czech1250 =
    "P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2 \xFAp\xECl \xEF\xE1" "belsk\xE9 \xF3" "dy";
const std::string Russian1251 =
    "\xD1\xFA\xE5\xF8\xFC \xE6\xE5 \xE5\xF9\xB8 \xFD\xF2\xE8\xF5 \xEC\xFF\xE3\xEA\xE8\xF5 "
    "\xF4\xF0\xE0\xED\xF6\xF3\xE7\xF1\xEA\xE8\xF5 \xE1\xF3\xEB\xEE\xEA";

TEST(EncodedWordCandidates, HoldsTheSixteenCharsetsInOrdinalOrder) {
    std::vector<std::string> Names;
    for (size_t N = 0; N < CharsetCount; ++N)
        if (EncodedWordCandidates.Contains(CharsetOfOrdinal(N)))
            Names.push_back(CharsetName(CharsetOfOrdinal(N)));
    const std::vector<std::string> Expected = {
        "ISO-8859-1", "ISO-8859-2", "ISO-8859-3", "ISO-8859-4", "ISO-8859-5", "ISO-8859-6",
        "ISO-8859-7", "ISO_8859-8", "ISO-8859-9", "ISO-8859-10", "KOI8-R", "KOI8-U",
        "ISO-2022-JP", "CN-GB", "EUC-TW", "EUC-KR"};
    EXPECT_EQ(Names, Expected);
}

struct TQCase {
    std::string Value;
    std::string Expected;
};

TEST(EncodeQWords, CutsChunksAtSpacesPastTheLimit) {
    const std::string N = "=?ISO-8859-1?Q?";
    const std::string X31(31, 'x'), X32(32, 'x'), X40(40, 'x'), X80(80, 'x');
    const std::string E10 = "=E9=E9=E9=E9=E9=E9=E9=E9=E9=E9";
    const TQCase Cases[] = {
        {"", ""},
        {"a b", N + "a_b?="},
        {X40 + " y", N + X40 + "_?= " + N + "y?="},
        {X31 + " y", N + X31 + "_y?="},     // 32 characters when the space is met
        {X32 + " y", N + X32 + "_?= " + N + "y?="},
        {X32 + " ", N + X32 + "_?="},       // no empty word behind the last cut
        // A run without spaces is cut where a word would grow past 75 characters.
        {X80, N + std::string(58, 'x') + "?= " + N + std::string(22, 'x') + "?="},
        {"a  b", N + "a__b?="},
        // An escape counts three towards the limit.
        {std::string(10, '\xE9') + "a y", N + E10 + "a_y?="},
        {std::string(11, '\xE9') + " y", N + E10 + "=E9_?= " + N + "y?="},
        {"a?b", N + "a=3Fb?="},
        {"a=b_c:d\t\"e\"", N + "a=3Db=5Fc=3Ad=09=22e=22?="},
        {"x\r\ny", N + "x=0D=0Ay?="},
    };
    const TCharsetId Latin1 = Charset("ISO-8859-1");
    for (const TQCase& C : Cases) EXPECT_EQ(EncodeQWords(C.Value, Latin1, Latin1), C.Expected) << C.Value;
}

TEST(EncodeQWords, ConvertsAndNamesTheTargetCharset) {
    EXPECT_EQ(EncodeQWords("P\xC5\x99\xC3\xADli\xC5\xA1", Charset("UTF-8"), Charset("ISO-8859-2")),
              "=?ISO-8859-2?Q?P=F8=EDli=B9?=");
    EXPECT_EQ(EncodeQWords("a", Charset("ISO-8859-1"), Charset("ISO-8859-8")), "=?ISO_8859-8?Q?a?=");
}

TEST(NeedsEncoding, FlagsSpecialsControlsAndHighBytes) {
    const struct {
        std::string Value;
        bool Expected;
    } Cases[] = {
        {"", false},
        {"Hello world.", false},
        {"a-b.c d+e*f!g#h$i%j&k'l{m}n|o~p`q^r", false},
        {"Re: x", true},
        {"a_b", true},
        {"a\tb", true},
        {"a\x7F", true},
        {"caf\xE9", true},
        {std::string("a\0b", 3), true},
    };
    for (const auto& C : Cases) EXPECT_EQ(NeedsEncoding(C.Value), C.Expected) << C.Value;
    for (char Special : std::string("\"(),/:;<=>?@[\\]_"))
        EXPECT_TRUE(NeedsEncoding(std::string("a") + Special)) << Special;
}

TEST(EncodeHeaderTextAs, EncodesOnlyWhatNeedsIt) {
    const TCharsetId Utf8 = Charset("UTF-8");
    const TQCase Cases[] = {
        {"Hello world.", "Hello world."},
        {"Re: report, part 2", "=?ISO-8859-1?Q?Re=3A_report=2C_part_2?="},
        {"Caf\xC3\xA9", "=?ISO-8859-1?Q?Caf=E9?="},
        {"P\xC5\x99\xC3\xADli\xC5\xA1", "=?ISO-8859-2?Q?P=F8=EDli=B9?="},
        {"\xD0\x9C\xD0\xB8\xD1\x80", "=?ISO-8859-5?Q?=BC=D8=E0?="},
    };
    for (const TQCase& C : Cases) EXPECT_EQ(EncodeHeaderTextAs(C.Value, Utf8), C.Expected) << C.Value;
}

TEST(EncodeAddressAs, QuotesTheDisplayNameRightBeforeTheAddress) {
    const TCharsetId Utf8 = Charset("UTF-8");
    const TQCase Cases[] = {
        {"Sales Desk <desk@example.com>", "\"Sales Desk\"<desk@example.com>"},
        {" Sales Desk <desk@example.com> ", "\"Sales Desk\"<desk@example.com>"},
        {"<desk@example.com>", "desk@example.com"},
        {"desk@example.com", "desk@example.com"},
        {"desk@example.com (Desk)", "\"Desk\"<desk@example.com (Desk)>"},
        {"\"Nov\xC3\xA1k, Jan\" <jan@example.cz>", "\"=?ISO-8859-1?Q?Nov=E1k=2C_Jan?=\"<jan@example.cz>"},
        {"Ji\xC5\x99\xC3\xAD <jiri@example.cz>", "\"=?ISO-8859-2?Q?Ji=F8=ED?=\"<jiri@example.cz>"},
    };
    for (const TQCase& C : Cases) EXPECT_EQ(EncodeAddressAs(C.Value, Utf8), C.Expected) << C.Value;
}

// The system code page decides what the text is read as; the first candidate
// that holds the text is chosen, and its words decode back to the text.
TEST(EncodeHeaderText, ChoosesTheFirstCandidateHoldingTheSystemText) {
    const struct {
        const char* CodePage;
        std::string Text;
        std::string Target;
        std::string Chosen;
    } Cases[] = {
        {"1250", Czech1250, "WINDOWS-1250", "ISO-8859-2"},
        {"1251", Russian1251, "WINDOWS-1251", "ISO-8859-5"},
        {"65001", CzechUtf8, "UTF-8", "ISO-8859-2"},
    };
    for (const auto& C : Cases) {
        TCodePageScope CodePage(C.CodePage);
        const std::string Words = EncodeHeaderText(C.Text);
        EXPECT_TRUE(IsQWordSequence(Words, C.Chosen)) << C.CodePage << ": " << Words;
        EXPECT_EQ(DecodeEncodedWords(Words, Charset(C.Target)), C.Text) << C.CodePage;

        const std::string Address = EncodeAddress(C.Text + " <a@example.com>");
        EXPECT_EQ(Address, "\"" + Words + "\"<a@example.com>") << C.CodePage;
    }
}

// No candidate holds the Thai letter: the encoder still writes sound words, and
// they decode back to the text with that one letter replaced.
TEST(EncodeHeaderText, ReplacesWhatNoCandidateHolds) {
    TCodePageScope CodePage("65001");
    const std::string Before = "Cena 5 K\xC4\x8D ";
    const std::string After = " konec";
    const std::string Words = EncodeHeaderText(Before + "\xE0\xB8\x81" + After);
    ASSERT_TRUE(IsQWordSequence(Words, "ISO-8859-2")) << Words;
    const std::string Decoded = DecodeEncodedWords(Words, Charset("UTF-8"));
    ASSERT_EQ(Decoded.size(), Before.size() + 1 + After.size()) << Decoded;
    EXPECT_EQ(Decoded.substr(0, Before.size()), Before);
    EXPECT_EQ(Decoded.substr(Before.size() + 1), After);
    const char Replacement = Decoded[Before.size()];
    EXPECT_TRUE(Replacement == '_' || Replacement == '?') << Decoded;
}

// What the encoder writes, the decoder reads back word by word: however long a
// text without spaces, no word is longer than 75 characters, and each holds whole
// characters (in ISO-2022-JP it ends in ASCII), so that each decodes on its own.
TEST(EncodeQWords, EachWordDecodesBackToItsPartOfTheText) {
    const auto Repeated = [](const std::string& Unit, int Times) {
        std::string Text;
        for (int I = 0; I < Times; ++I) Text += Unit;
        return Text;
    };
    const std::string Texts[] = {
        "",
        "x",
        CzechUtf8 + " " + CzechUtf8 + " " + CzechUtf8,
        "=?UTF-8?Q?not_a_word?= __ ?= =? ?",
        std::string(100, ' '),
        std::string(3, '\xC3') + "\xA9 tail  ",
        Repeated("P\xC5\x99\xC3\xADli\xC5\xA1:", 40),
        Repeated("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E" "abc", 30),       // Japanese and ASCII
        Repeated("\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", 30),             // Korean
        Repeated("\xE4\xB8\xAD\xE6\x96\x87", 40),                            // Chinese
        Repeated("\xCE\xB5\xCE\xB9\xCE\xBA\xCF\x8C\xCE\xBD\xCE\xB1", 20),  // Greek
    };
    const TCharsetId Utf8 = Charset("UTF-8");
    for (const char* Target : {"ISO-8859-1", "ISO-8859-2", "ISO-8859-7", "UTF-8", "ISO-2022-JP", "EUC-KR", "CN-GB",
                               "EUC-TW"})
        for (const std::string& Text : Texts) {
            const TCharsetId To = Charset(Target);
            const std::string Words = EncodeQWords(Text, Utf8, To);
            std::string Decoded;
            for (size_t At = 0; At < Words.size();) {
                const size_t End = std::min(Words.find(' ', At), Words.size());
                EXPECT_LE(End - At, 75u) << Target << ": " << Words;
                Decoded += DecodeEncodedWords(Words.substr(At, End - At), Utf8);
                At = End + 1;
            }
            EXPECT_EQ(Decoded, ConvertCharset(ConvertCharset(Text, Utf8, To), To, Utf8)) << Target << ": " << Words;
        }
}

}  // namespace
}  // namespace lumaro
